// The switch rules: a switch counts only as the last thing on the line.

#include "CommandLine.h"

#include <gtest/gtest.h>

using VardelServer::ActionFromCommandLine;
using VardelServer::CServerAction;
using VardelServer::FindOneOf;

TEST(CommandLine, RegistrationSwitchesAtTheEndInAnyCaseAfterDashOrSlash)
{
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("C:\\x\\VardelEventLogger.exe /RegServer"));
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("\"C:\\x y\\server.exe\" -REGSERVER"));
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("server.exe -rEgSeRvEr"));
    EXPECT_EQ(CServerAction::Unregister, ActionFromCommandLine("server.exe /UnregServer"));
    EXPECT_EQ(CServerAction::Unregister, ActionFromCommandLine("server.exe -unregserver"));
    // Dashes inside the path are searched past.
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("Z:\\BUILD-~1\\BIN\\VARD~YEG.EXE /RegServer"));
}

TEST(CommandLine, AnythingAfterTheSwitchRunsTheServer)
{
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe /RegServer /s"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe /RegServer "));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe /UnregServer x"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe RegServer"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe /Reg"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe -Embedding"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine("server.exe"));
    EXPECT_EQ(CServerAction::Run, ActionFromCommandLine(""));
}

TEST(CommandLine, EachSeparatorIsTriedInTurn)
{
    // "UnregServer /RegServer" does not match; the second switch does.
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("server.exe /UnregServer /RegServer"));
    EXPECT_EQ(CServerAction::Unregister, ActionFromCommandLine("server.exe -RegServer -UnregServer"));
    EXPECT_EQ(CServerAction::Register, ActionFromCommandLine("server.exe //RegServer"));
}

TEST(CommandLine, FindOneOfReturnsThePositionAfterTheFirstSeparator)
{
    const char* text = "ab-cd/ef";
    EXPECT_EQ(text + 3, FindOneOf(text, "-/"));
    EXPECT_EQ(text + 6, FindOneOf(text + 3, "-/"));
    EXPECT_EQ(nullptr, FindOneOf(text + 6, "-/"));
    EXPECT_EQ(nullptr, FindOneOf("", "-/"));
}
