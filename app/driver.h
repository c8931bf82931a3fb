#pragma once

// Runs the command-line tool and returns the process exit status.
int runDriver(int argc, char **argv);
