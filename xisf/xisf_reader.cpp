#include "xisf/xisf_reader.h"
