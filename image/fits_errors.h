#pragma once

#include <fitsio.h>

// CFITSIO keeps the messages of every failed call on a process-wide stack
// that the next error report prints. Code that turns failures into its own
// reasons, or that asks for keywords that are usually absent, drops the
// messages it caused by holding one of these for the calls' duration.
struct ErrorMessageMark {
    ErrorMessageMark() { ffpmrk(); }
    ~ErrorMessageMark() { ffcmrk(); }
    ErrorMessageMark(const ErrorMessageMark &) = delete;
    ErrorMessageMark &operator=(const ErrorMessageMark &) = delete;
};
