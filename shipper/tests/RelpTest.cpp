// RELP frames and the session against a byte-level fake of the collector:
// its answers written out by hand, cut anywhere, out of order, refused,
// or broken off.

#include "PlaceRegistry.h"
#include "RelpSession.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

using namespace Vardel::Shipper;

namespace {

// What librelp's server answers to an open.
const std::string OPEN_OK =
    "1 rsp 93 200 OK\nrelp_version=0\nrelp_software=librelp,1.11.0,http://librelp.adiscon.com\ncommands=syslog\n";

// A session opened against OPEN_OK, with count messages sent (tags 1..count).
CRelpSession OpenSession(int count, std::size_t window = 128)
{
    CRelpSession session(window);
    EXPECT_EQ("1 open 58 relp_version=0\nrelp_software=VardelShipper\ncommands=syslog\n", session.Open());
    EXPECT_TRUE(session.Receive(OPEN_OK.data(), OPEN_OK.size()));
    EXPECT_EQ(CRelpSession::State::Open, session.GetState());
    for (int i = 1; i <= count; ++i)
        session.Syslog("message " + std::to_string(i), static_cast<std::uint64_t>(i));
    return session;
}

bool Receive(CRelpSession& session, const std::string& bytes)
{
    return session.Receive(bytes.data(), bytes.size());
}

} // namespace

TEST(RelpFrame, BuiltAsTheProtocolWritesThem)
{
    EXPECT_EQ("2 syslog 5 hello\n", BuildRelpFrame(2, "syslog", "hello"));
    EXPECT_EQ("3 close 0\n", BuildRelpFrame(3, "close", ""));
    EXPECT_EQ("4 syslog 3 a\nb\n", BuildRelpFrame(4, "syslog", "a\nb"));
}

TEST(RelpFrame, ParsedTheSameWhereverTheBytesAreCut)
{
    const std::string bytes = OPEN_OK + "2 rsp 6 200 OK\n" + "3 rsp 0\n" + "0 serverclose 0\n";
    for (std::size_t a = 0; a <= bytes.size(); ++a) {
        for (std::size_t b = a; b <= bytes.size(); b += 7) {
            CRelpParser parser;
            ASSERT_TRUE(parser.Feed(bytes.data(), a));
            ASSERT_TRUE(parser.Feed(bytes.data() + a, b - a));
            ASSERT_TRUE(parser.Feed(bytes.data() + b, bytes.size() - b));
            auto& frames = parser.Frames();
            ASSERT_EQ(4u, frames.size()) << "cut at " << a << " and " << b;
            EXPECT_EQ(1u, frames[0].txnr);
            EXPECT_EQ("rsp", frames[0].command);
            EXPECT_EQ(OPEN_OK.substr(9, 93), frames[0].data);
            EXPECT_EQ("200 OK", frames[1].data);
            EXPECT_EQ(3u, frames[2].txnr);
            EXPECT_EQ("", frames[2].data);
            EXPECT_EQ("serverclose", frames[3].command);
            EXPECT_TRUE(parser.AtFrameStart());
        }
    }
}

TEST(RelpFrame, BytesThatAreNotRelpAreRefused)
{
    const char* cases[] = {
        "x rsp 0\n",          // no transaction number
        "1rsp 0\n",           // no space after it
        "1 rsp 3 abc\r\n",    // the data not followed by its line end
        "1 rsp 0 \n",         // a space where no data follows
        "1 rsp x\n",          // no data length
        "1234567890 rsp 0\n", // a number past 9 digits
        "1 r5p 0\n",          // a command that is not letters
        "1 rsp 70000 ",       // more data than an answer holds
        "1  rsp 0\n",         // an empty command
        "1 rspppppppppppppppppppppppppppppppp 0\n",
    };
    for (const char* bytes : cases) {
        CRelpParser parser;
        EXPECT_FALSE(parser.Feed(bytes, std::strlen(bytes))) << bytes;
        EXPECT_FALSE(parser.Error().empty()) << bytes;
        EXPECT_FALSE(parser.Feed("1 rsp 0\n", 8)) << "takes nothing after " << bytes;
    }
}

TEST(RelpSession, OpensOnlyWhenTheCollectorTakesSyslog)
{
    const struct {
        std::string answer;
        CRelpSession::State state;
    } cases[] = {
        {OPEN_OK, CRelpSession::State::Open},
        {"1 rsp 41 200 OK\nrelp_version=0\ncommands=foo,syslog\n", CRelpSession::State::Open},
        {"1 rsp 38 200 OK\nrelp_version=0\ncommands=syslogx\n", CRelpSession::State::Broken},
        {"1 rsp 18 500 not acceptable\n", CRelpSession::State::Broken},
        {"1 rsp 6 200 OK\n", CRelpSession::State::Broken},
        {"2 rsp 6 200 OK\n", CRelpSession::State::Broken},
    };
    for (const auto& c : cases) {
        CRelpSession session;
        session.Open();
        Receive(session, c.answer);
        EXPECT_EQ(c.state, session.GetState()) << c.answer;
        EXPECT_EQ(c.state == CRelpSession::State::Open, session.CanSend()) << c.answer;
    }
}

TEST(RelpSession, SendsNoMoreThanItsWindowUnanswered)
{
    CRelpSession session = OpenSession(0, 3);
    EXPECT_EQ("2 syslog 1 a\n", session.Syslog("a", 1));
    EXPECT_EQ("3 syslog 1 b\n", session.Syslog("b", 2));
    EXPECT_TRUE(session.CanSend());
    session.Syslog("c", 3);
    EXPECT_FALSE(session.CanSend());
    ASSERT_TRUE(Receive(session, "3 rsp 6 200 OK\n"));
    EXPECT_TRUE(session.CanSend());
    EXPECT_EQ(2u, session.Unanswered());
}

TEST(RelpSession, AnswersOutOfOrderMovePlacesOnlyInSendOrder)
{
    CRelpSession session = OpenSession(0);
    CPendingCommits pending;
    CPlaceRegistry registry;
    for (std::uint64_t end : {100, 200, 300}) {
        CCommit commit{CCommit::Kind::Set, "Log_2026_12_09.log", CPlace{{1, 2}, end, 0, 300}};
        session.Syslog("m", pending.Add(commit));
    }
    // The third and the first answered: the place moves past the first only.
    ASSERT_TRUE(Receive(session, "4 rsp 6 200 OK\n2 rsp 6 200 OK\n"));
    EXPECT_EQ((std::vector<std::uint64_t>{3, 1}), session.Answered());
    for (auto tag : session.Answered())
        pending.Answered(tag);
    session.Answered().clear();
    EXPECT_EQ(1u, pending.ApplyTo(registry));
    EXPECT_EQ(100u, registry["Log_2026_12_09.log"].place);
    ASSERT_TRUE(Receive(session, "3 rsp 6 200 OK\n"));
    pending.Answered(session.Answered().at(0));
    EXPECT_EQ(2u, pending.ApplyTo(registry));
    EXPECT_EQ(300u, registry["Log_2026_12_09.log"].place);
    EXPECT_EQ(0u, pending.Waiting());
}

TEST(RelpSession, BreaksAndSaysWhy)
{
    const struct {
        std::string bytes;
        bool closeAfter;
        std::vector<std::uint64_t> answered;
        std::string why;
    } cases[] = {
        {"2 rsp 6 200 OK\n3 rsp 12 500 no space\n", false, {1}, "refused transaction 3: 500 no space"},
        {"2 rsp 6 200 OK\n3 rsp 6 20", true, {1}, "closed the connection in the middle of a frame"},
        {"2 rsp 6 200 OK\n", true, {1}, "the collector closed the connection"},
        {"9 rsp 6 200 OK\n", false, {}, "answered transaction 9, which is not waiting"},
        {"2 rsp 6 200 OK\n2 rsp 6 200 OK\n", false, {1}, "answered transaction 2, which is not waiting"},
        {"0 serverclose 0\n", false, {}, "serverclose"},
        {"2 syslog 1 x\n", false, {}, "sent the command \"syslog\""},
        {"2 rsp 6 200 OK\r\n", false, {}, "not RELP"},
    };
    for (const auto& c : cases) {
        CRelpSession session = OpenSession(3);
        Receive(session, c.bytes);
        if (c.closeAfter)
            session.PeerClosed();
        EXPECT_EQ(CRelpSession::State::Broken, session.GetState()) << c.bytes;
        EXPECT_NE(std::string::npos, session.Error().find(c.why)) << c.bytes << " said: " << session.Error();
        EXPECT_EQ(c.answered, session.Answered()) << c.bytes;
        EXPECT_FALSE(session.CanSend());
        EXPECT_FALSE(Receive(session, "4 rsp 6 200 OK\n")) << "a broken session takes nothing more";
    }
}

TEST(RelpSession, ClosesWhenTheCollectorAnswersClose)
{
    CRelpSession session = OpenSession(1);
    EXPECT_EQ("3 close 0\n", session.Close());
    ASSERT_TRUE(Receive(session, "2 rsp 6 200 OK\n3 rsp 0\n"));
    EXPECT_EQ(CRelpSession::State::Closed, session.GetState());
    session.PeerClosed();
    EXPECT_EQ(CRelpSession::State::Closed, session.GetState());
}

TEST(RelpStatus, ReadsTheCodeOnly)
{
    EXPECT_EQ(200, RelpStatus("200 OK"));
    EXPECT_EQ(500, RelpStatus("500"));
    EXPECT_EQ(200, RelpStatus("200 OK\nrelp_version=0"));
    EXPECT_EQ(-1, RelpStatus("2000 OK"));
    EXPECT_EQ(-1, RelpStatus("OK"));
    EXPECT_EQ(-1, RelpStatus(""));
}
