#include "debayer/demosaic.h"
