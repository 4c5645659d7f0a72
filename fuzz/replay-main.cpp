/* replay-main.cpp - runs a fuzz target over the files it is given, without
 * libFuzzer, so that every build replays the committed corpus and crash
 * reproducers.  Arguments starting with '-' are libFuzzer options and are
 * skipped. */
#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    unsigned count = 0;
    for (int i = 1; i < argc; i++) {
        gchar *data = nullptr;
        gsize size = 0;
        if (argv[i][0] == '-')
            continue;
        if (!g_file_get_contents(argv[i], &data, &size, nullptr)) {
            fprintf(stderr, "%s: unreadable\n", argv[i]);
            return 1;
        }
        /* An exact-size copy, so that reading past the end is caught. */
        std::vector<uint8_t> bytes(data, data + size);
        g_free(data);
        fprintf(stderr, "replay %s (%zu bytes)\n", argv[i], size);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        count++;
    }
    printf("replayed %u inputs\n", count);
    return count > 0 ? 0 : 1;
}
