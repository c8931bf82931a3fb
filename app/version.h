#pragma once

#include <QString>

// The --version text: "skyimg 2.0" on the first line, as the standard
// version option prints it, then the version of every library in use.
QString versionText();
