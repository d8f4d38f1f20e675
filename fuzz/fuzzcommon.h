// What the fuzz targets share: a drive C: of their own with its temp folder,
// so that the debug log can be on, and a check that stops the run with a
// message when a property fails.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

// Stops the run: libFuzzer treats the abort as a crash and keeps the input.
#define FUZZ_CHECK(condition, ...)                                                              \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            fprintf(stderr, __VA_ARGS__);                                                       \
            fprintf(stderr, "\n");                                                              \
            abort();                                                                            \
        }                                                                                       \
    } while (0)

inline std::string& driveFolder()
{
    static std::string path;
    return path;
}

inline void removeDrive()
{
    std::error_code ignored;
    if (!driveFolder().empty()) {
        std::filesystem::remove_all(driveFolder(), ignored);
    }
}

// Makes a fresh folder for drive C: with C:\temp in it, in memory when
// /dev/shm can be used (the log is written many times per input), and points
// SIMPLATFORM_DRIVE_C at it. Removed when the process exits normally.
inline std::string makeDrive(const char* name)
{
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                     : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/kelvorov-fuzz-" + name + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    driveFolder() = pattern;
    std::filesystem::create_directories(pattern + "/temp");
    setenv("SIMPLATFORM_DRIVE_C", pattern.c_str(), 1);
    atexit(removeDrive);
    return pattern;
}

inline std::string writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

}  // namespace fuzz
