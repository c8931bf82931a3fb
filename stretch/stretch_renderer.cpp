#include "stretch/stretch_renderer.h"
