/* The JSON member readers, the serialiser and the nesting guard. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <errno.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

using namespace halvo_test;

namespace {

using halvo_core::Object;

/* A parsed document and a reader on its root. */
struct Doc {
    Object<JsonParser> parser{json_parser_new()};
    JsonReader *reader;
    Object<JsonReader> hold;
    explicit Doc(const char *text)
    {
        halvo_json_parse(parser.get(), text, -1);
        hold.reset(json_reader_new(json_parser_get_root(parser.get())));
        reader = hold.get();
    }
};

} // namespace

TEST(Readers, ValuesAsReadAndWrongKindsGiveTheAbsentValue)
{
    Doc d(R"({"s":"x","i":12,"big":1e30,"frac":1.5,"quoted":"12","b":true,"null":null,
              "obj":{"s":"inner"},"arr":["a",1,"b",null,{"x":1}],"name":"after","wrap":4294967297,
              "neg":-7,"max":2147483647,"over":2147483648,"empty":[],"v":["a b","q\"uote","\u00e9"]})");
    /* Integers are cut to 32 bits; string arrays come back as compact text. */
    const std::pair<const char *, int> ints[] = {{"wrap", 1}, {"neg", -7}, {"max", 2147483647}, {"over", INT32_MIN}};
    for (const auto &[member, value] : ints)
        EXPECT_EQ(_bt_json_read_int_member(d.reader, member), value) << member;
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "empty")), "[]");
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "v")), "[\"a b\",\"q\\\"uote\",\"\xc3\xa9\"]");

    LogCapture log;
    EXPECT_EQ(take(_bt_json_read_string_member(d.reader, "missing")), "<null>");
    EXPECT_TRUE(log.contains("fail to read, missing"));
    log.clear();
    EXPECT_FALSE(_bt_json_read_boolean_member(d.reader, "missing"));
    EXPECT_FALSE(log.contains("fail to read")) << "a missing boolean writes no error line";
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "missing")), "<null>");
    EXPECT_TRUE(log.contains("fail to read, missing")) << "a missing array does";
    /* Each wrong-kind (or missing) read is followed by a read that only works if the
     * reader is back on the enclosing object. */
    for (const char *m : {"missing", "i", "b", "null", "obj", "arr", "big"}) {
        EXPECT_EQ(take(_bt_json_read_string_member(d.reader, m)), "<null>") << m;
        EXPECT_EQ(take(_bt_json_read_string_member(d.reader, "name")), "after") << "after " << m;
    }
    for (const char *m : {"missing", "s", "big", "frac", "quoted", "b", "null", "obj", "arr"}) {
        EXPECT_EQ(_bt_json_read_int_member(d.reader, m), -1) << m;
        EXPECT_EQ(_bt_json_read_int_member(d.reader, "i"), 12) << "after " << m;
    }
    for (const char *m : {"missing", "s", "i", "null", "obj", "arr"}) {
        EXPECT_FALSE(_bt_json_read_boolean_member(d.reader, m)) << m;
        EXPECT_TRUE(_bt_json_read_boolean_member(d.reader, "b")) << "after " << m;
    }
    /* The array reader keeps only the strings. */
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "arr")), R"(["a","b"])");
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "obj")), "<null>");
    EXPECT_EQ(take(_bt_json_read_string_array_member(d.reader, "s")), "<null>");
    EXPECT_EQ(take(_bt_json_read_string_member(d.reader, "name")), "after");
}

TEST(Readers, ReaderNotOnAnObject)
{
    Doc arr(R"(["a","b"])");
    EXPECT_EQ(take(_bt_json_read_string_member(arr.reader, "a")), "<null>");
    EXPECT_EQ(_bt_json_read_int_member(arr.reader, "a"), -1);
    EXPECT_FALSE(_bt_json_read_boolean_member(arr.reader, "a"));
    EXPECT_EQ(json_reader_count_elements(arr.reader), 2) << "still on the root array";

    Doc empty("not json");
    EXPECT_EQ(take(_bt_json_read_string_member(empty.reader, "a")), "<null>");
    EXPECT_EQ(take(_bt_json_read_string_array_member(empty.reader, "a")), "<null>");
    EXPECT_EQ(_bt_json_read_int_member(nullptr, "a"), -1);
    /* No member name reads nothing, rather than asking json-glib for NULL. */
    Doc obj(R"({"a":true})");
    EXPECT_EQ(_bt_json_read_string_member(obj.reader, nullptr), nullptr);
    EXPECT_EQ(_bt_json_read_string_array_member(obj.reader, nullptr), nullptr);
    EXPECT_EQ(_bt_json_read_int_member(obj.reader, nullptr), -1);
    EXPECT_FALSE(_bt_json_read_boolean_member(obj.reader, nullptr));
}

TEST(Splice, MissingTextPathOrDepthGiveNothing)
{
    const char *const path[] = {"a b"};
    EXPECT_EQ(halvo_json_splice(nullptr, path, 1, "1"), nullptr);
    EXPECT_EQ(halvo_json_splice("{}", nullptr, 1, "1"), nullptr);
    EXPECT_EQ(halvo_json_splice("{}", path, 0, "1"), nullptr);
    EXPECT_EQ(take(halvo_json_splice("{}", path, 1, "1")), R"({"a b":1})") << "a space needs no escape";
    /* A value that would add a member of its own is not that change. */
    const char *const a[] = {"a"};
    EXPECT_EQ(halvo_json_splice(R"({"a":1})", a, 1, R"(true,"b":2)"), nullptr);
    /* A member nested past the bound is refused before it can exhaust the stack. */
    const std::string deep = R"({"b":)" + std::string(1000000, '[') + std::string(1000000, ']') + "}";
    EXPECT_EQ(halvo_json_splice(deep.c_str(), a, 1, "1"), nullptr);
}

/* Compact text is held by every document the library sends. */
TEST(Serialiser, AnUnfinishedBuilderGivesNoText)
{
    Object<JsonBuilder> unfinished(json_builder_new());
    char *none = reinterpret_cast<char *>(1);
    _halvo_api_convert_json_node_to_string(unfinished.get(), &none);
    EXPECT_EQ(none, nullptr);
}

TEST(DepthGuard, BoundAndStrings)
{
    const std::string ok = std::string(HALVO_JSON_MAX_DEPTH, '[') + std::string(HALVO_JSON_MAX_DEPTH, ']');
    EXPECT_TRUE(halvo_json_depth_ok(ok.c_str(), -1, HALVO_JSON_MAX_DEPTH));
    std::string deep = "[" + ok + "]";
    EXPECT_FALSE(halvo_json_depth_ok(deep.c_str(), -1, HALVO_JSON_MAX_DEPTH));
    EXPECT_FALSE(halvo_json_depth_ok(("]" + deep).c_str(), -1, HALVO_JSON_MAX_DEPTH)) << "a stray closer";
    /* Brackets inside strings, escaped quotes included, do not nest. */
    std::string in_string = "[\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"]";
    EXPECT_TRUE(halvo_json_depth_ok(in_string.c_str(), -1, HALVO_JSON_MAX_DEPTH));
    /* json-glib's "\u" with a hex digit takes up to four hex digits and
     * the first other character, a quote too: the brackets after it are
     * outside any string, whether the quote is the second or the fourth. */
    for (const char *escape : {"\\u00\"x\"", "\\u1\"x\""}) {
        std::string escaped = "[\"" + std::string(escape) + "," + ok + "]";
        EXPECT_FALSE(halvo_json_depth_ok(escaped.c_str(), -1, HALVO_JSON_MAX_DEPTH)) << escaped;
    }
    EXPECT_TRUE(halvo_json_depth_ok(R"(["\u0041", "\uzz", "[["])", -1, 1));

    Object<JsonParser> p(json_parser_new());
    EXPECT_TRUE(halvo_json_parse(p.get(), ok.c_str(), -1));
    EXPECT_NE(json_parser_get_root(p.get()), nullptr);
    EXPECT_FALSE(halvo_json_parse(p.get(), deep.c_str(), -1));
    EXPECT_EQ(json_parser_get_root(p.get()), nullptr) << "refused like text that is not JSON";
    /* A value, of any kind, followed by an array or object is two values;
     * values inside one are not. */
    for (const char *two : {"[] {}", "1 []", "\"s\" {}", "'s' []", "{} x []"})
        EXPECT_FALSE(halvo_json_parse(p.get(), two, -1)) << two;
    for (const char *one : {"[1, \"s\", {}]", "{\"a\": [1], \"b\": {}}", " 7 "})
        EXPECT_TRUE(halvo_json_parse(p.get(), one, -1)) << one;
}

TEST(DepthGuard, DeepDocumentsUnderASmallStack)
{
    /* A child with a 256 KiB stack parses documents far deeper than that
     * stack could recurse through. */
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit rl = {256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_STACK, &rl);
        /* The new limit applies to a fresh image: re-exec ourselves. */
        /* By the name we were started with: under valgrind /proc/self/exe
         * is valgrind itself. */
        execl(program_invocation_name, program_invocation_name, "--gtest_filter=DepthGuard.ParseDeep", nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DepthGuard, ParseDeep)
{
    for (int depth : {1000, 10000, 100000}) {
        for (const char *pair : {"[]", "{}"}) {
            std::string text;
            for (int i = 0; i < depth; i++)
                text += pair[0] == '{' ? "{\"a\":" : "[";
            text += (pair[0] == '{' ? "1" : "") + std::string(depth, pair[1]);
            Object<JsonParser> p(json_parser_new());
            EXPECT_FALSE(halvo_json_parse(p.get(), text.c_str(), -1)) << depth;
        }
    }
    Object<JsonParser> p(json_parser_new());
    EXPECT_FALSE(halvo_json_parse(p.get(), nullptr, -1)) << "no text parses as nothing";
}
