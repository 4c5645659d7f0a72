/* replay-main.cpp - runs a fuzz target over files without libFuzzer, so
 * that every build replays the committed corpus and crash reproducers.
 * Arguments are files or directories (their regular files, in name order);
 * arguments starting with '-' are libFuzzer options and are skipped. */
#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

static std::vector<std::string> inputs_of(const char *arg)
{
    std::vector<std::string> files;
    if (!g_file_test(arg, G_FILE_TEST_IS_DIR)) {
        files.push_back(arg);
        return files;
    }
    GDir *dir = g_dir_open(arg, 0, nullptr);
    if (dir == nullptr)
        return files;
    while (const char *name = g_dir_read_name(dir)) {
        gchar *path = g_build_filename(arg, name, nullptr);
        if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
            files.push_back(path);
        g_free(path);
    }
    g_dir_close(dir);
    std::sort(files.begin(), files.end());
    return files;
}

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    unsigned count = 0;
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-')
            continue;
        std::vector<std::string> files = inputs_of(argv[i]);
        if (files.empty()) {
            fprintf(stderr, "%s: no inputs\n", argv[i]);
            return 1;
        }
        for (const std::string &f : files) {
            gchar *data = nullptr;
            gsize size = 0;
            GError *error = nullptr;
            if (!g_file_get_contents(f.c_str(), &data, &size, &error)) {
                fprintf(stderr, "%s: %s\n", f.c_str(), error->message);
                g_error_free(error);
                return 1;
            }
            /* An exact-size copy, so that reading past the end is caught. */
            std::vector<uint8_t> bytes(data, data + size);
            g_free(data);
            fprintf(stderr, "replay %s (%zu bytes)\n", f.c_str(), size);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            count++;
        }
    }
    printf("replayed %u inputs\n", count);
    return 0;
}
