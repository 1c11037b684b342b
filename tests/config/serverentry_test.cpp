// SPDX-License-Identifier: GPL-3.0-or-later
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

TEST(ServerEntry, Port563IsSecureUnlessSaidOtherwiseAndWritesTheOldForm) {
    for (const char* text : {"h 563", "h 563 1 u p"}) {
        ServerEntry e = ServerEntry::parse(text);
        EXPECT_TRUE(e.secure()) << text;
        EXPECT_EQ(e.textForm(), e.authFlag() ? "h 563\t1\tu\tp" : "h 563");
    }
    EXPECT_FALSE(ServerEntry::parse("h").secure());
    EXPECT_FALSE(ServerEntry::parse("h 8119").secure());
    // A new entry for 563 is secure; saying so again writes no extras.
    ServerEntry e;
    e.host = "h";
    e.port = 563;
    EXPECT_TRUE(e.secure());
    e.setSecure(true);
    EXPECT_EQ(e.textForm(), "h 563");
}

TEST(ServerEntry, ExtrasFollowTheFiveFieldsAndReadBack) {
    const std::string fp = "AB:CD:" + std::string(89, 'E');
    struct Case {
        int port;
        bool secure;
        std::string fingerprint;
        std::string text;
    } cases[] = {
        {119, true, "", "h 119\t0\t-\t-\ttls"},
        {563, false, "", "h 563\t0\t-\t-\tplain"},
        {563, true, fp, "h 563\t0\t-\t-\ttls\t" + fp},
        {8119, false, fp, "h 8119\t0\t-\t-\tplain\t" + fp},
    };
    for (const Case& c : cases) {
        ServerEntry e;
        e.host = "h";
        e.port = c.port;
        e.setSecure(c.secure);
        e.fingerprint = c.fingerprint;
        EXPECT_EQ(e.textForm(), c.text);
        ServerEntry back = ServerEntry::parse(e.textForm());
        EXPECT_EQ(back.port, c.port) << c.text;
        EXPECT_EQ(back.secure(), c.secure) << c.text;
        EXPECT_EQ(back.fingerprint, c.fingerprint) << c.text;
        EXPECT_EQ(back.authFlag(), 0) << c.text;
        EXPECT_EQ(back.credentials().user, "-") << c.text;
        EXPECT_EQ(back.credentials().password, "-") << c.text;
    }
    // Credentials come before the extras and stay where the old reader looks for them.
    ServerEntry e = ServerEntry::parse("h 119\t1\tu\tp\ttls\t" + fp);
    EXPECT_EQ(e.credentials().password, "p");
    EXPECT_TRUE(e.secure());
    EXPECT_EQ(e.textForm(), "h 119\t1\tu\tp\ttls\t" + fp);
    ServerEntry copy(e);
    EXPECT_TRUE(copy.secure());
    EXPECT_EQ(copy.fingerprint, fp);
}

// A fill server's role, level and cap follow a fingerprint field ("-" for none), where the
// previous version reads a fingerprint no certificate has and skips the rest.
TEST(ServerEntry, RoleLevelAndCapFollowTheFingerprintAndReadBack) {
    ServerEntry e;
    e.host = "fill.example";
    e.role = ServerRole::Fill;
    e.level = 2;
    e.connections = 8;
    e.setCredentials({"u", "p"});
    const std::string text =
        "fill.example 119\t1\tu\tp\tplain\t-\trole=fill\tlevel=2\tconnections=8";
    EXPECT_EQ(e.textForm(), text);
    ServerEntry back = ServerEntry::parse(text);
    EXPECT_EQ(back.role, ServerRole::Fill);
    EXPECT_EQ(back.level, 2);
    EXPECT_EQ(back.connections, 8);
    EXPECT_EQ(back.fingerprint, "");
    EXPECT_EQ(back.credentials().password, "p");
    EXPECT_EQ(back.textForm(), text);
    EXPECT_EQ(ServerEntry(back).connectionCap(4), 8);

    // Out of range, unknown or after a stray sixth field: start values.
    ServerEntry odd = ServerEntry::parse(
        "h 119\t0\t-\t-\ttls\tAB\tlevel=0\tconnections=500\t"
        "role=other\tcolour=red\tlevel=2x");
    EXPECT_EQ(odd.role, ServerRole::Off);
    EXPECT_EQ(odd.level, 1);
    EXPECT_EQ(odd.connectionCap(6), 6);
    EXPECT_EQ(odd.textForm(), "h 119\t0\t-\t-\ttls\tAB");
    ServerEntry stray = ServerEntry::parse("h 119\t1\tu\tp q\t-\trole=fill");
    EXPECT_EQ(stray.role, ServerRole::Off);
}

TEST(ServerEntry, StoredCredentialsOutliveALoginRefusedOnce) {
    // One refusal (or a prompt nobody answered) sets the flag to 0 for the rest of the run;
    // the line written afterwards must still log in next time.
    ServerEntry e = ServerEntry::parse("h 119\t1\tu\tp");
    e.setAuthFlag(0);
    EXPECT_EQ(e.textForm(), "h 119\t1\tu\tp");
    e.setCredentials({"-", "p"});  // a password alone is a credential too
    EXPECT_EQ(e.textForm(), "h 119\t1\t-\tp");
    // Only the user's own removal leaves the short form.
    e.setCredentials({"-", "-"});
    EXPECT_EQ(e.textForm(), "h");
    e.port = 563;
    EXPECT_EQ(e.addressText(), "h 563");
}

TEST(ServerEntry, AStraySixthFieldIsNoExtra) {
    // What a password with a blank leaves behind.
    ServerEntry e = ServerEntry::parse("h 119 1 u x y z");
    EXPECT_FALSE(e.secure());
    EXPECT_EQ(e.fingerprint, "");
    EXPECT_EQ(e.credentials().password, "x");
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
