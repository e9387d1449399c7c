// TEMPORARY: stands in for the settings dialog in the installer until the
// dialog program (CMake target ksasio_panel_program) is part of this build;
// installer/CMakeLists.txt takes the real dialog as soon as it exists.
// It does nothing for a user. For the installer tests it records how it was
// started (argument count and arguments, one a line) in the file that
// KSASIO_DIALOG_STAND_IN_LOG names, as the driver's controlPanel starts it.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* log = std::getenv("KSASIO_DIALOG_STAND_IN_LOG");
    if (log == nullptr || *log == '\0') {
        std::fprintf(stderr, "This build has no settings dialog yet: the installer ships a stand-in.\n");
        return 1;
    }
    FILE* file = std::fopen(log, "w");
    if (file == nullptr) return 1;
    std::fprintf(file, "%d\n", argc);
    for (int i = 0; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
    return std::fclose(file) == 0 ? 0 : 1;
}
