#pragma once

#include <clocale>
#include <cstdlib>

#include <locale.h>

// Numbers in FITS cards and in camera metadata are written with a decimal
// point whatever the user's locale. QCoreApplication adopts the user's
// LC_NUMERIC, under which strtod and sscanf read "1.5" as 1 in a
// comma-decimal locale, so such numbers are read under the C locale.

// The C locale, made once for the whole process and never freed.
inline locale_t cLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return c;
}

// strtod under the C locale.
inline double strtodC(const char *text, char **end)
{
    return strtod_l(text, end, cLocale());
}

// The calling thread reads and writes numbers under the C locale for as
// long as this lives: for the scanf family, which has no locale argument.
class ScopedCLocale {
public:
    ScopedCLocale() : previous(uselocale(cLocale())) {}
    ~ScopedCLocale() { uselocale(previous); }
    ScopedCLocale(const ScopedCLocale &) = delete;
    ScopedCLocale &operator=(const ScopedCLocale &) = delete;

private:
    locale_t previous;
};
