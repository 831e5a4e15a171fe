#include "app/Main.h"

#include "platform/errors/Failure.h"

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
{
    // Nothing may leave main as an exception: std::terminate would abort the program with a core dump and a
    // message that names a C++ type instead of the problem.
    try {
        return Main(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "quosh: %s\n", failure.description().toLocal8Bit().constData());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quosh: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "quosh: stopped by an unexpected error\n");
    }
    return 1;
}
