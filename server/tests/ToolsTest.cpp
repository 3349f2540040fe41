// The command-line client, the stand-in host and the VBScript sample,
// run as their users run them.

#include "ServerHarness.h"

using namespace VardelTest;

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

using Tools = CServerTest<>;

TEST_F(Tools, VardelLogPerCallOrPerLineOfInputAndTheVbscriptSampleReportEvents)
{
    ASSERT_EQ(0u, RunServer("/RegServer"));
    const std::string one = Marker("one"), words = Marker("words"), line = Marker("line"), vbs = Marker("vbs");
    {
        CServerSession session;
        auto r = RunCaptured(VardelLogCommand("-t ERROR -l debug -s \"Tool Source\" --time 86400 -m \"" + one + "\""));
        EXPECT_EQ(0u, r.exitCode) << r.err;
        EXPECT_EQ("", r.err);
        r = RunCaptured(VardelLogCommand("--type 7 --level -2 " + words + " and more"));
        EXPECT_EQ(0u, r.exitCode) << r.err;
        r = RunCaptured(VardelLogCommand("--stdin -s Lines -t FATAL_ERROR"), line + "-a\r\n" + line + "-b\n\n" + line + "-c");
        EXPECT_EQ(0u, r.exitCode) << r.err;
        // The sample creates the object by its ProgID and calls it late-bound.
        r = RunCaptured("cscript.exe //nologo \"" VARDEL_SAMPLE_VBS "\" " + vbs);
        EXPECT_EQ(0u, r.exitCode) << r.out << r.err;
        session.End();
    }
    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(7u, lines.size()) << m_log.Appended();
    EXPECT_EQ(1u, LinesEndingWith({lines[0]}, ",ERROR,DEBUG,Tool Source,\"" + one + "\"").size()) << lines[0];
    EXPECT_EQ(1u, LinesEndingWith({lines[1]}, ",UNKNOWN_EVENT_TYPE,UNKNOWN_LEVEL,vardel-log,\"" + words +
                                                  " and more\"").size())
        << lines[1];
    EXPECT_EQ(1u, LinesEndingWith({lines[2]}, ",FATAL_ERROR,RELEASE,Lines,\"" + line + "-a\"").size()) << lines[2];
    EXPECT_EQ(1u, LinesEndingWith({lines[3]}, ",FATAL_ERROR,RELEASE,Lines,\"" + line + "-b\"").size()) << lines[3];
    EXPECT_EQ(1u, LinesEndingWith({lines[4]}, ",FATAL_ERROR,RELEASE,Lines,\"\"").size()) << lines[4];
    EXPECT_EQ(1u, LinesEndingWith({lines[5]}, ",FATAL_ERROR,RELEASE,Lines,\"" + line + "-c\"").size()) << lines[5];
    EXPECT_EQ(1u, LinesEndingWith({lines[6]}, ",INFORMATION,RELEASE,sample.vbs,\"" + vbs + "\"").size()) << lines[6];
}

TEST_F(Tools, VardelLogExplainsEveryFailure)
{
    // Nothing registered (the guard cleared it).
    auto r = RunCaptured(VardelLogCommand("hello"));
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_TRUE(Contains(r.err, "0x80040154")) << r.err;
    EXPECT_TRUE(Contains(r.err, "not registered")) << r.err;

    const char* bad[] = {"", "--type BOGUS x", "--level", "--time -1 x", "--time 4294967296 x", "--frobnicate x",
                         "-m a b", "--stdin x"};
    for (const char* arguments : bad) {
        r = RunCaptured(VardelLogCommand(arguments));
        EXPECT_EQ(2u, r.exitCode) << arguments;
        EXPECT_TRUE(Contains(r.err, "usage: vardel-log")) << arguments << ": " << r.err;
    }
    r = RunCaptured(VardelLogCommand("--help"));
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_TRUE(Contains(r.out, "usage: vardel-log")) << r.out;
    EXPECT_EQ("", m_log.Appended());
}

TEST_F(Tools, KorvaneHostHoldsTheEventUntilStopped)
{
    EXPECT_EQ(1u, RunCaptured(KorvaneHostCommand("--status")).exitCode);
    auto r = RunCaptured(KorvaneHostCommand("--start --seconds 120"));
    ASSERT_EQ(0u, r.exitCode) << r.err;
    EXPECT_TRUE(HostEventExists());
    EXPECT_EQ(0u, RunCaptured(KorvaneHostCommand("--status")).exitCode);
    r = RunCaptured(KorvaneHostCommand("--start"));
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_TRUE(Contains(r.err, "already running")) << r.err;

    EXPECT_EQ(0u, RunCaptured(KorvaneHostCommand("--stop")).exitCode);
    EXPECT_FALSE(HostEventExists()) << "--stop returns once the event is gone";
    r = RunCaptured(KorvaneHostCommand("--stop"));
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_TRUE(Contains(r.err, "no host stand-in is running")) << r.err;
    EXPECT_EQ(2u, RunCaptured(KorvaneHostCommand("--bogus")).exitCode);
}

} // namespace
