#include "app/CommandLine.h"

#include "platform/capture/TestPatternDriver.h"
#include "tests/support/ScopedEnv.h"

#include <QDir>

#include <gtest/gtest.h>

namespace
{
CDriverList Drivers()
{
    std::vector<std::unique_ptr<CCaptureDriver>> d;
    d.push_back(std::make_unique<CTestPatternDriver>());
    d.push_back(std::make_unique<CTestPatternDriver>());
    return CDriverList(std::move(d));
}

CCommandLine::CResult Parse(const QStringList& args)
{
    static const CDriverList drivers = Drivers();
    return CCommandLine::Parse(QStringList{QStringLiteral("vistrel")} + args, drivers);
}
} // namespace

TEST(CommandLine, OptionsSetTheRunsValuesAndBadOnesAreRefusedWithAReason)
{
    const auto none = Parse({});
    EXPECT_EQ(none.action, CCommandLine::Action::Run);
    CSettings untouched;
    untouched.ServerPort = 1234;
    none.options.ApplyTo(untouched);
    EXPECT_EQ(untouched.ServerPort, 1234) << "what is not given stays as loaded";

    const auto all = Parse({"--port", "8081", "--server", "on", "--device", "1", "--format", "BMP",
                            "--headers", "off"});
    ASSERT_EQ(all.action, CCommandLine::Action::Run) << all.strText;
    CSettings s;
    all.options.ApplyTo(s);
    EXPECT_EQ(s.ServerPort, 8081);
    EXPECT_EQ(s.ServerEnabled, 1);
    EXPECT_EQ(s.CaptureDevice, 1);
    EXPECT_EQ(s.ImageType, 1);
    EXPECT_EQ(s.HttpHeaders, 0);
    // A device by its menu name (any case), or none at all.
    EXPECT_EQ(*Parse({"--device", "test PATTERN"}).options.nCaptureDevice, 0);
    EXPECT_EQ(*Parse({"--device=none"}).options.nCaptureDevice, -1);
    EXPECT_EQ(*Parse({"--format", "jpeg", "--server", "off"}).options.nImageType, 0);
    EXPECT_EQ(*Parse({"--store-wait", "5"}).options.nStoreWaitSeconds, 5);
    // Who may connect, where the settings and the working files are.
    const auto access =
        Parse({"--listen", "::1", "--allow", "127.0.0.1, 10.0.0.0/8", "--log-requests",
               "--settings", "x/store.db", "--working-folder", "."});
    ASSERT_EQ(access.action, CCommandLine::Action::Run) << access.strText;
    access.options.ApplyTo(s);
    EXPECT_EQ(s.ServerAddress, "::1");
    EXPECT_EQ(s.ServerAllow, "127.0.0.1, 10.0.0.0/8");
    EXPECT_TRUE(access.options.bLogRequests);
    EXPECT_FALSE(none.options.bLogRequests);
    EXPECT_EQ(access.strSettingsFile, QDir::current().absoluteFilePath("x/store.db").toStdString());
    EXPECT_EQ(access.strWorkingFolder, QDir::current().absolutePath().toStdString());
    EXPECT_EQ(*Parse({"--listen", "localhost"}).options.strServerAddress, "localhost");
    EXPECT_EQ(*Parse({"--listen="}).options.strServerAddress, "") << "every interface again";

    const std::pair<QStringList, const char*> bad[] = {
        {{"--port", "0"}, "--port takes a number from 1 to 65535"},
        {{"--port", "70000"}, "--port takes"},
        {{"--port", "80x"}, "--port takes"},
        {{"--server", "maybe"}, "--server takes on or off"},
        {{"--headers", ""}, "--headers takes on or off"},
        {{"--format", "png"}, "--format takes jpeg or bmp"},
        {{"--store-wait", "-1"}, "--store-wait takes a number of seconds from 0 to 3600"},
        {{"--device", "2"}, "no capture device \"2\"; there are:\n  0  Test Pattern"},
        {{"--device", "Webcam"}, "no capture device"},
        {{"--bogus"}, "Unknown option 'bogus'"},
        {{"--listen", "camera.example"}, "--listen takes localhost or an address as numbers"},
        {{"--listen", "10.0.0.0/8"}, "--listen takes one address"},
        {{"--allow", "10.0.0.0/40"}, "--allow: \"10.0.0.0/40\" has no prefix length"},
        {{"--settings", "/"}, "--settings takes a store file"},
        {{"--working-folder", "/no/such/folder"}, "/no/such/folder is not a folder"},
    };
    for (const auto& [args, pszReason] : bad)
    {
        const auto r = Parse(args);
        EXPECT_EQ(r.action, CCommandLine::Action::Fail) << args.join(' ').toStdString();
        EXPECT_NE(r.strText.find(pszReason), std::string::npos) << r.strText;
    }

    // A file name, as a desktop passes one, is let go with a word.
    const auto file = Parse({"--port", "8081", "picture.jpg"});
    EXPECT_EQ(file.action, CCommandLine::Action::Run);
    EXPECT_EQ(*file.options.nServerPort, 8081);
    ASSERT_EQ(file.notes.size(), 1u);
    EXPECT_EQ(file.notes[0].rfind("ignoring picture.jpg: ", 0), 0u) << file.notes[0];

    const auto list = Parse({"--list-devices"});
    EXPECT_EQ(list.action, CCommandLine::Action::PrintAndExit);
    EXPECT_EQ(list.strText, "0\tTest Pattern\n1\tTest Pattern\n");
    const auto help = Parse({"--help"});
    EXPECT_EQ(help.action, CCommandLine::Action::PrintAndExit);
    for (const char* pszOption : {"--port", "--server", "--device", "--format", "--headers",
                                  "--list-devices", "-platform offscreen"})
        EXPECT_NE(help.strText.find(pszOption), std::string::npos) << pszOption;
}

TEST(CommandLine, WithoutADisplayOrAChosenPlatformTheProgramRunsHeadless)
{
    CScopedEnv display("DISPLAY", "");
    CScopedEnv wayland("WAYLAND_DISPLAY", "");
    CScopedEnv platform("QT_QPA_PLATFORM", "");
    const char* plain[] = {"vistrel", "--server", "on"};
    EXPECT_TRUE(CCommandLine::ShouldRunHeadless(3, plain));
    const char* chosen[] = {"vistrel", "-platform", "xcb"};
    EXPECT_FALSE(CCommandLine::ShouldRunHeadless(3, chosen));
    {
        CScopedEnv x("DISPLAY", ":0");
        EXPECT_FALSE(CCommandLine::ShouldRunHeadless(3, plain));
    }
    {
        CScopedEnv qpa("QT_QPA_PLATFORM", "offscreen");
        EXPECT_FALSE(CCommandLine::ShouldRunHeadless(3, plain));
    }
}
