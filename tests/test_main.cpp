#include <QCoreApplication>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    // Dates in records are local time: pin the zone so expectations hold.
    setenv("TZ", "UTC", 1);
    // The locale is pinned too, to C.UTF-8 unless SKYIMG_TEST_LOCALE names
    // another: scripts/test.sh runs one pass under a comma-decimal locale,
    // which the tool's children inherit.
    const char *locale = std::getenv("SKYIMG_TEST_LOCALE");
    setenv("LC_ALL", locale && *locale ? locale : "C.UTF-8", 1);
    if (!std::setlocale(LC_ALL, std::getenv("LC_ALL"))) {
        std::fprintf(stderr, "locale %s is not installed\n", std::getenv("LC_ALL"));
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
