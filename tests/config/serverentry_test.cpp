#include "config/serverentry.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

struct Form {
    const char* host;
    int port;
    int authFlag;
    const char* user;
    const char* password;
    const char* text;
};

TEST(ServerEntry, TextFormsReadBackToTheSameEntry) {
    const Form forms[] = {
        {"h", 119, 0, "-", "-", "h"},
        {"h", 563, 0, "-", "-", "h 563"},
        {"h", 119, 1, "u", "p", "h 119\t1\tu\tp"},
        {"news.example", 8119, 2, "me", "x y", "news.example 8119\t2\tme\tx y"},
    };
    for (const Form& f : forms) {
        ServerEntry e;
        e.host = f.host;
        e.port = f.port;
        e.setAuthFlag(f.authFlag);
        e.setCredentials({f.user, f.password});
        EXPECT_EQ(e.textForm(), f.text);
        if (std::string_view(f.password).find(' ') != std::string_view::npos) continue;
        ServerEntry back = ServerEntry::parse(e.textForm());
        EXPECT_EQ(back.host, f.host);
        EXPECT_EQ(back.port, f.port);
        EXPECT_EQ(back.authFlag(), f.authFlag);
        EXPECT_EQ(back.credentials().user, f.user);
        EXPECT_EQ(back.credentials().password, f.password);
    }
}

TEST(ServerEntry, AMissingOrBadFieldKeepsItsStartValueAndEveryFieldAfterIt) {
    const Form cases[] = {
        {"h", 119, 0, "-", "-", "h"},
        {"h", 119, 0, "-", "-", "  h  \r\n"},
        {"h", 563, 0, "-", "-", "h\t563"},
        {"h", 119, 0, "-", "-", "h port 1 u p"},
        {"h", 563, 0, "-", "-", "h 563x 1 u p"},
        {"h", 563, 1, "-", "-", "h 563 1"},
        {"h", 563, 1, "u", "-", "h 563 1 u"},
        {"h", 119, 0, "-", "-", "h 99999999999 1 u p"},  // out of range: no number
        {"", 119, 0, "-", "-", ""},
    };
    for (const Form& c : cases) {
        ServerEntry e = ServerEntry::parse(c.text);
        EXPECT_EQ(e.host, c.host) << c.text;
        EXPECT_EQ(e.port, c.port) << c.text;
        EXPECT_EQ(e.authFlag(), c.authFlag) << c.text;
        EXPECT_EQ(e.credentials().user, c.user) << c.text;
        EXPECT_EQ(e.credentials().password, c.password) << c.text;
    }
}

TEST(ServerEntry, LongFieldsAreCutTo255Characters) {
    std::string host(1000, 'h');
    ServerEntry e = ServerEntry::parse(host + " 119 1 " + std::string(300, 'u') + " p");
    EXPECT_EQ(e.host.size(), 255u);
    EXPECT_EQ(e.credentials().user.size(), 255u);
    EXPECT_EQ(e.credentials().password, "p");
}

}  // namespace
}  // namespace qm
