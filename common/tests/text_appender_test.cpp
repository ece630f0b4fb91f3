// The appender must write what snprintf writes for the same pieces, cut alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/text_appender.h"

namespace {

struct Case {
    const char* format;  // what the pieces mean, for snprintf
    std::function<void(char*, size_t)> reference;
    std::function<void(TextAppender&)> append;
};

TEST(TextAppender, WritesWhatSnprintfWritesAtEveryBufferSize) {
    const int64_t ints[] = {0, 7, -7, 10, -10, 99, 100, INT_MAX, INT_MIN};
    std::vector<Case> cases;
    for (int64_t v : ints) {
        const int i = static_cast<int>(v);
        const unsigned u = static_cast<unsigned>(v);
        cases.push_back({"%d", [i](char* b, size_t n) { std::snprintf(b, n, "%d", i); }, [i](TextAppender& a) { a.Int(i); }});
        cases.push_back({"%02d", [i](char* b, size_t n) { std::snprintf(b, n, "%02d", i); }, [i](TextAppender& a) { a.Int(i, 2); }});
        cases.push_back({"%05d", [i](char* b, size_t n) { std::snprintf(b, n, "%05d", i); }, [i](TextAppender& a) { a.Int(i, 5); }});
        cases.push_back({"%u", [u](char* b, size_t n) { std::snprintf(b, n, "%u", u); }, [u](TextAppender& a) { a.Unsigned(u); }});
        cases.push_back({"%02x", [u](char* b, size_t n) { std::snprintf(b, n, "%02x", u); }, [u](TextAppender& a) { a.Hex(u, 2); }});
    }
    cases.push_back({"line", [](char* b, size_t n) { std::snprintf(b, n, "Write to Dev %d param No %d Q = 0x%02x\n", 3, 12, 0xC0); },
                     [](TextAppender& a) { a.Text("Write to Dev ").Int(3).Text(" param No ").Int(12).Text(" Q = 0x").Hex(0xC0, 2).Char('\n'); }});
    cases.push_back({"%s", [](char* b, size_t n) { std::snprintf(b, n, "a%sb", ""); }, [](TextAppender& a) { a.Char('a').Text("").Text(nullptr).Char('b'); }});
    for (const Case& c : cases) {
        for (size_t size : {1u, 2u, 3u, 6u, 12u, 64u}) {
            char expected[65], actual[65];
            std::fill(std::begin(expected), std::end(expected), 'x');
            std::fill(std::begin(actual), std::end(actual), 'x');
            c.reference(expected, size);
            TextAppender a(actual, size);
            c.append(a);
            EXPECT_EQ(std::string(actual, size), std::string(expected, size)) << c.format << " size " << size;
            EXPECT_EQ(actual[size], 'x') << "nothing past the buffer";
            EXPECT_EQ(a.c_str(), actual);
        }
    }
    char untouched = 'x';
    TextAppender(&untouched, 0).Text("abc").Int(5);
    EXPECT_EQ(untouched, 'x');
}

}  // namespace
