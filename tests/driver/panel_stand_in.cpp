// Stands in for the settings dialog in the control-panel tests: records how
// it was started in "started.txt" beside itself and ends.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    std::string self = argc > 0 ? argv[0] : "";
    const size_t slash = self.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
    FILE* file = std::fopen((folder + "/started.txt").c_str(), "w");
    if (file == nullptr) return 1;
    std::fprintf(file, "%d\n%s\n", argc, self.c_str());
    return std::fclose(file) == 0 ? 0 : 1;
}
