/* test-valko.cpp - the configuration store stand-in: values, atomic writes
 * and change notifications, also for changes made by other processes. */
#include "bus-fixture.h"
#include "valko.h"

#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <string>
#include <vector>

using halvo_test::dir_entries;
using halvo_test::run_until;
using halvo_test::str;
using halvo_test::store_read;
using halvo_test::store_root;
using halvo_test::store_settle;
using halvo_test::store_write;

namespace {

std::string path_of(const std::string &key)
{
    return store_root() + "/" + key;
}

/* valko_get_str as a std::string, "<null>" when unreadable. */
std::string get(const char *key)
{
    return halvo_test::take(valko_get_str(key));
}

/* A fresh directory of our own in the temporary directory. */
std::string make_tmp(const char *pattern)
{
    gchar *dir = g_dir_make_tmp(pattern, nullptr);
    std::string path = str(dir);
    g_free(dir);
    return path;
}

/* Runs a shell command as a separate process and waits for it. */
void shell(const std::string &command)
{
    const gchar *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    gint status = -1;
    GError *error = nullptr;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar **>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                             nullptr, nullptr, &status, &error))
        << (error ? error->message : "");
    ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << command;
}

/* What one callback saw; the value is "<null>" when the key has none. */
struct Seen {
    std::string name, value;
    void *user_data;
    GThread *thread;
};

std::vector<Seen> g_seen;

void record(valko_keynode_t *node, void *user_data)
{
    g_seen.push_back(
        {str(valko_keynode_get_name(node)), str(valko_keynode_get_str(node)), user_data, g_thread_self()});
}

int g_other_calls;
void other(valko_keynode_t *, void *)
{
    g_other_calls++;
}

/* Removes the registration of record() on kQueuedKey, noting how many
 * calls record() had seen by then. */
const char *const kQueuedKey = "valko-reg/queued";
int g_seen_at_unregister = -1;
void unregister_record(valko_keynode_t *, void *)
{
    if (g_seen_at_unregister < 0) {
        g_seen_at_unregister = int(g_seen.size());
        EXPECT_EQ(0, valko_ignore_key_changed(kQueuedKey, record));
    }
}

/* Removes its own registration from inside the callback. */
int g_self_ignoring_calls;
void ignore_self(valko_keynode_t *node, void *)
{
    g_self_ignoring_calls++;
    EXPECT_EQ(0, valko_ignore_key_changed(valko_keynode_get_name(node), ignore_self));
    /* The node stays readable for the rest of the callback. */
    EXPECT_STREQ("valko-self/key", valko_keynode_get_name(node));
}

class Valko : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_seen.clear();
        g_other_calls = 0;
        g_self_ignoring_calls = 0;
        g_seen_at_unregister = -1;
    }
};

} // namespace

TEST_F(Valko, SetAndGetRoundTripThroughNestedKeys)
{
    EXPECT_EQ("<null>", get("valko-rt/missing")) << "a key without a file cannot be read";

    ASSERT_EQ(0, valko_set_str("valko-rt/a/b/name", "living room"));
    EXPECT_EQ("living room", get("valko-rt/a/b/name"));
    EXPECT_EQ("living room", store_read("valko-rt/a/b/name")) << "the file holds the plain text";

    ASSERT_EQ(0, valko_set_str("valko-rt/a/b/name", "x"));
    EXPECT_EQ("x", get("valko-rt/a/b/name")) << "a shorter value replaces the longer one entirely";

    ASSERT_EQ(0, valko_set_str("valko-rt/empty", ""));
    EXPECT_EQ("", get("valko-rt/empty")) << "an empty value is still a value";

    EXPECT_EQ(-1, valko_set_str("valko-rt/null", nullptr));
    EXPECT_EQ("<null>", get("valko-rt/null"));

    /* A directory in the key's place cannot be read or written as a value. */
    EXPECT_EQ("<null>", get("valko-rt/a/b"));
    EXPECT_EQ(-1, valko_set_str("valko-rt/a/b", "v"));

    EXPECT_EQ(0, valko_unset("valko-rt/a/b/name"));
    EXPECT_EQ("<null>", get("valko-rt/a/b/name"));
    EXPECT_EQ(0, valko_unset("valko-rt/a/b/name")) << "a key that is already gone counts as removed";
}

TEST_F(Valko, IntegersAreWholeDecimalText)
{
    int v = 7;
    for (int value : {INT_MAX, INT_MIN, -42}) {
        ASSERT_EQ(0, valko_set_int("valko-int/neg", value));
        EXPECT_EQ(0, valko_get_int("valko-int/neg", &v));
        EXPECT_EQ(value, v);
    }
    EXPECT_EQ("-42", store_read("valko-int/neg"));

    store_write("valko-int/blanks", " 17\n");
    EXPECT_EQ(0, valko_get_int("valko-int/blanks", &v)) << "blanks around the number are allowed";
    EXPECT_EQ(17, v);

    const char *bad[] = {"12abc", "abc", "", "  ", "1 2", "0x10", "2147483648", "-2147483649",
                         "99999999999999999999", "-"};
    for (const char *text : bad) {
        store_write("valko-int/bad", text);
        v = 555;
        EXPECT_EQ(-1, valko_get_int("valko-int/bad", &v)) << "\"" << text << "\"";
        EXPECT_EQ(555, v) << "the output stays untouched for \"" << text << "\"";
    }

    v = 555;
    EXPECT_EQ(-1, valko_get_int("valko-int/missing", &v));
    EXPECT_EQ(555, v);
    EXPECT_EQ(-1, valko_get_int("valko-int/neg", nullptr));
}

TEST_F(Valko, WritesReplaceTheFileWhole)
{
    const std::string key = "valko-atomic/dir/value";
    ASSERT_EQ(0, valko_set_str(key.c_str(), "first value, long enough to notice a partial rewrite"));
    const std::string path = path_of(key);
    struct stat before {};
    ASSERT_EQ(0, g_stat(path.c_str(), &before));

    /* A reader that opened the old file keeps reading the old content: the
     * new value went into a different file that was renamed into place. */
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, valko_set_str(key.c_str(), "second"));
    char buf[128] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    close(fd);
    EXPECT_STREQ("first value, long enough to notice a partial rewrite", buf) << n;

    struct stat after {};
    ASSERT_EQ(0, g_stat(path.c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino) << "the key's file was replaced, not rewritten in place";
    EXPECT_EQ("second", store_read(key));

    std::set<std::string> names = dir_entries(path_of("valko-atomic/dir"));
    EXPECT_EQ(std::set<std::string>{"value"}, names) << "no temporary file is left behind";
}

TEST_F(Valko, KeysCannotLeaveTheRoot)
{
    /* A sibling of the root that an escaping key would reach. */
    gchar *base = g_path_get_basename(store_root().c_str());
    const std::string sibling = std::string(base) + "-escape";
    g_free(base);
    const std::string outside = store_root() + "/../" + sibling;

    const std::string escaping[] = {"../" + sibling, "valko-keys/../../" + sibling, "..", "valko-keys/..",
                                    "/tmp/valko-abs", "", "valko-keys//x", "valko-keys/./x", "valko-keys/"};
    std::vector<const char *> keys = {nullptr};
    for (const std::string &key : escaping)
        keys.push_back(key.c_str());
    for (const char *k : keys) {
        const std::string key = k ? k : "(null)";
        int v = 3;
        EXPECT_EQ(-1, valko_set_str(k, "x")) << key;
        EXPECT_EQ(-1, valko_set_int(k, 1)) << key;
        EXPECT_EQ(nullptr, valko_get_str(k)) << key;
        EXPECT_EQ(-1, valko_get_int(k, &v)) << key;
        EXPECT_EQ(3, v);
        EXPECT_EQ(-1, valko_unset(k)) << key;
        EXPECT_EQ(-1, valko_notify_key_changed(k, record, nullptr)) << key;
        EXPECT_EQ(-1, valko_ignore_key_changed(k, record)) << key;
    }
    EXPECT_FALSE(g_file_test(outside.c_str(), G_FILE_TEST_EXISTS)) << outside;
    EXPECT_FALSE(g_file_test("/tmp/valko-abs", G_FILE_TEST_EXISTS));

    EXPECT_EQ(-1, valko_notify_key_changed("valko-keys/ok", nullptr, nullptr));
    EXPECT_EQ(-1, valko_ignore_key_changed("valko-keys/ok", nullptr));
    EXPECT_EQ(nullptr, valko_keynode_get_str(nullptr));
    EXPECT_EQ(nullptr, valko_keynode_get_name(nullptr));

    /* Dots inside a segment are ordinary characters. */
    EXPECT_EQ(0, valko_set_str("valko-keys/a..b/.hidden", "ok"));
    EXPECT_EQ("ok", store_read("valko-keys/a..b/.hidden"));
}

TEST_F(Valko, OnlyRegularFilesInsideTheRootAreValues)
{
    /* A FIFO is refused at once instead of waiting for a writer. */
    ASSERT_EQ(0, g_mkdir_with_parents(path_of("valko-odd").c_str(), 0755));
    ASSERT_EQ(0, mkfifo(path_of("valko-odd/fifo").c_str(), 0600));
    EXPECT_EQ("<null>", get("valko-odd/fifo"));
    int v = 3;
    EXPECT_EQ(-1, valko_get_int("valko-odd/fifo", &v));

    /* Links out of the root, as a directory and as the key's file. */
    const std::string out = make_tmp("valko-outside-XXXXXX"), secret = out + "/secret";
    ASSERT_TRUE(g_file_set_contents(secret.c_str(), "7", -1, nullptr));
    ASSERT_EQ(0, symlink(out.c_str(), path_of("valko-odd/dir").c_str()));
    ASSERT_EQ(0, symlink(secret.c_str(), path_of("valko-odd/leaf").c_str()));
    for (const char *key : {"valko-odd/dir/secret", "valko-odd/leaf"}) {
        EXPECT_EQ("<null>", get(key));
        EXPECT_EQ(-1, valko_get_int(key, &v)) << key;
    }
    EXPECT_EQ(-1, valko_set_str("valko-odd/dir/new", "x"));
    EXPECT_EQ(-1, valko_unset("valko-odd/dir/secret"));
    EXPECT_EQ(-1, valko_notify_key_changed("valko-odd/dir/secret", record, nullptr));
    EXPECT_EQ(3, v);
    EXPECT_EQ(dir_entries(out), std::set<std::string>{"secret"});
    shell("rm -rf '" + out + "'");
}

TEST_F(Valko, DefaultRootIsPrivateToTheUser)
{
    /* Puts the environment back however the test ends. */
    struct Env {
        std::string root = g_getenv("VALKO_ROOT"), runtime = str(g_getenv("XDG_RUNTIME_DIR"));
        bool had_runtime = g_getenv("XDG_RUNTIME_DIR") != nullptr;
        ~Env()
        {
            g_setenv("VALKO_ROOT", root.c_str(), TRUE);
            if (had_runtime)
                g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
            else
                g_unsetenv("XDG_RUNTIME_DIR");
        }
    } env;
    const std::string runtime = make_tmp("valko-runtime-XXXXXX"), root = runtime + "/valko";
    g_unsetenv("VALKO_ROOT");
    g_setenv("XDG_RUNTIME_DIR", runtime.c_str(), TRUE);

    auto private_dir = [](const std::string &path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700 &&
               st.st_uid == geteuid();
    };
    ASSERT_EQ(0, valko_set_str("k", "v"));
    EXPECT_TRUE(private_dir(root));
    EXPECT_EQ("v", get("k"));

    /* A root open to others, or a link to one, is refused. */
    ASSERT_EQ(0, chmod(root.c_str(), 0755));
    EXPECT_EQ("<null>", get("k"));
    EXPECT_EQ(-1, valko_set_str("k", "w"));
    ASSERT_EQ(0, chmod(root.c_str(), 0700));
    ASSERT_EQ(0, rename(root.c_str(), (runtime + "/real").c_str()));
    ASSERT_EQ(0, symlink("real", root.c_str()));
    EXPECT_EQ("<null>", get("k"));
    shell("rm -rf '" + runtime + "'");

    /* Without a runtime directory: one of our own in /tmp. */
    g_unsetenv("XDG_RUNTIME_DIR");
    const std::string key = "valko-default-" + std::to_string(getpid());
    ASSERT_EQ(0, valko_set_str(key.c_str(), "v"));
    EXPECT_TRUE(private_dir("/tmp/valko-" + std::to_string(geteuid())));
    EXPECT_EQ(0, valko_unset(key.c_str()));
}

TEST_F(Valko, AnotherProcessWritingTheFileNotifiesOncePerChange)
{
    const std::string key = "valko-proc/sub/state";
    const std::string path = path_of(key);
    int tag = 0;
    ASSERT_EQ(0, valko_notify_key_changed(key.c_str(), record, &tag));
    EXPECT_TRUE(g_file_test(path_of("valko-proc/sub").c_str(), G_FILE_TEST_IS_DIR))
        << "registering creates the key's directory";
    store_settle();
    EXPECT_TRUE(g_seen.empty()) << "registering alone is no change";

    /* Created by another process through a shell redirection; rewritten in
     * place (truncation and writing are one change); replaced by a rename,
     * as the store itself writes; removed (the node carries no value). */
    const struct {
        std::string command;
        const char *value;
    } changes[] = {{"printf 'on' > '" + path + "'", "on"},
                   {"printf 'off and a longer text' > '" + path + "'", "off and a longer text"},
                   {"printf 'renamed' > '" + path + ".new' && mv '" + path + ".new' '" + path + "'", "renamed"},
                   {"rm '" + path + "'", nullptr}};
    for (size_t i = 0; i < 4; i++) {
        shell(changes[i].command);
        ASSERT_TRUE(run_until([&] { return g_seen.size() > i; })) << changes[i].command;
        store_settle();
        ASSERT_EQ(i + 1, g_seen.size()) << "one change, one notification: " << changes[i].command;
        EXPECT_EQ(key, g_seen[i].name);
        EXPECT_EQ(&tag, g_seen[i].user_data);
        EXPECT_EQ(str(changes[i].value), g_seen[i].value);
    }

    EXPECT_EQ(0, valko_ignore_key_changed(key.c_str(), record));
}

TEST_F(Valko, RegistrationsAreReplacedAndIgnored)
{
    const char *key = "valko-reg/key";
    int first = 1, second = 2;
    EXPECT_EQ(-1, valko_ignore_key_changed(key, record)) << "nothing registered yet";

    ASSERT_EQ(0, valko_notify_key_changed(key, record, &first));
    ASSERT_EQ(0, valko_notify_key_changed(key, record, &second)) << "same callback again: new user data";
    ASSERT_EQ(0, valko_notify_key_changed(key, other, nullptr));

    ASSERT_EQ(0, valko_set_int(key, 1));
    ASSERT_TRUE(run_until([] { return !g_seen.empty() && g_other_calls > 0; }));
    store_settle();
    ASSERT_EQ(1u, g_seen.size()) << "one registration per key and callback";
    EXPECT_EQ(&second, g_seen[0].user_data);
    EXPECT_EQ("1", g_seen[0].value);
    EXPECT_EQ(1, g_other_calls) << "every callback on the key runs";

    EXPECT_EQ(0, valko_ignore_key_changed(key, record));
    EXPECT_EQ(-1, valko_ignore_key_changed(key, record)) << "already removed";
    ASSERT_EQ(0, valko_set_int(key, 2));
    ASSERT_TRUE(run_until([] { return g_other_calls >= 2; }));
    store_settle();
    EXPECT_EQ(1u, g_seen.size()) << "an ignored callback no longer runs";

    /* A change made just before ignoring, not yet dispatched, is dropped too. */
    ASSERT_EQ(0, valko_notify_key_changed(key, record, &first));
    ASSERT_EQ(0, valko_set_int(key, 3));
    EXPECT_EQ(0, valko_ignore_key_changed(key, record));
    store_settle();
    EXPECT_EQ(1u, g_seen.size());
    EXPECT_EQ(3, g_other_calls);
    EXPECT_EQ(0, valko_ignore_key_changed(key, other));

    /* Ignored while its events are already being handled: @other, registered
     * first, removes @record from inside its own callback. */
    g_seen.clear();
    ASSERT_EQ(0, valko_notify_key_changed(kQueuedKey, unregister_record, nullptr));
    ASSERT_EQ(0, valko_notify_key_changed(kQueuedKey, record, nullptr));
    ASSERT_EQ(0, valko_set_str(kQueuedKey, "v"));
    ASSERT_TRUE(run_until([] { return g_seen_at_unregister >= 0; }));
    store_settle();
    EXPECT_EQ(size_t(g_seen_at_unregister), g_seen.size()) << "a callback ran after it was ignored";
    EXPECT_EQ(0, valko_ignore_key_changed(kQueuedKey, unregister_record));

    /* A callback may remove its own registration while it runs. */
    ASSERT_EQ(0, valko_notify_key_changed("valko-self/key", ignore_self, nullptr));
    ASSERT_EQ(0, valko_set_str("valko-self/key", "a"));
    ASSERT_TRUE(run_until([] { return g_self_ignoring_calls > 0; }));
    ASSERT_EQ(0, valko_set_str("valko-self/key", "b"));
    store_settle();
    EXPECT_EQ(1, g_self_ignoring_calls);
    EXPECT_EQ(-1, valko_ignore_key_changed("valko-self/key", ignore_self));
}

namespace {

struct Listener {
    GMainContext *context = nullptr;
    GThread *thread = nullptr;
    gint registered = 0, done = 0;
};

/* Registers in its own thread-default context and iterates only that one. */
gpointer listen_thread(gpointer data)
{
    auto *l = static_cast<Listener *>(data);
    g_main_context_push_thread_default(l->context);
    EXPECT_EQ(0, valko_notify_key_changed("valko-thread/key", record, l));
    g_atomic_int_set(&l->registered, 1);
    EXPECT_TRUE(run_until([] { return !g_seen.empty(); }));
    store_settle();
    EXPECT_EQ(0, valko_ignore_key_changed("valko-thread/key", record));
    g_main_context_pop_thread_default(l->context);
    g_atomic_int_set(&l->done, 1);
    return nullptr;
}

} // namespace

TEST_F(Valko, CallbacksRunInTheRegisteringThreadsContext)
{
    Listener l;
    l.context = g_main_context_new();
    l.thread = g_thread_new("valko-listener", listen_thread, &l);
    ASSERT_TRUE(run_until([&] { return g_atomic_int_get(&l.registered) != 0; }));

    store_write("valko-thread/key", "from elsewhere");
    /* The main context is iterated too: the callback must not run here. */
    EXPECT_TRUE(run_until([&] { return g_atomic_int_get(&l.done) != 0; }, 10000));
    g_thread_join(l.thread);
    g_main_context_unref(l.context);

    ASSERT_EQ(1u, g_seen.size());
    EXPECT_EQ(l.thread, g_seen[0].thread);
    EXPECT_EQ("from elsewhere", g_seen[0].value);
    EXPECT_EQ(&l, g_seen[0].user_data);
}
