#include "controls/HyperLink.h"

#include "platform/ui/MessageBox.h"

#include <QTest>
#include <gtest/gtest.h>

namespace
{
class HyperLink : public ::testing::Test
{
protected:
    std::vector<std::string> m_opened;
    std::vector<std::string> m_run;
    std::vector<std::string> m_boxes;
    bool m_bOpenWorks = true;
    std::optional<std::string> m_exec;

    void SetUp() override
    {
        CHyperLink::Shell().openUrl = [this](const QString& t)
        {
            m_opened.push_back(t.toStdString());
            return m_bOpenWorks;
        };
        CHyperLink::Shell().defaultBrowserExec = [this]
        {
            return m_exec;
        };
        CHyperLink::Shell().run = [this](const std::string& c)
        {
            m_run.push_back(c);
            return true;
        };
        SetMessageBoxPresenter(
            [this](const std::string& text, const std::string&, unsigned)
            {
                m_boxes.push_back(text);
                return IDOK;
            });
    }
    void TearDown() override
    {
        CHyperLink::Shell() = CHyperLink::SystemShell();
        SetMessageBoxPresenter({});
    }
};
} // namespace

TEST_F(HyperLink, FallbackCommandsAreCutAtThePlaceholder)
{
    std::string c;
    ASSERT_TRUE(CHyperLink::BuildFallbackCommand("/usr/bin/browser \"%u\" --new-tab",
                                                 "https://x.example/", c));
    EXPECT_EQ(c, "/usr/bin/browser  https://x.example/");
    ASSERT_TRUE(CHyperLink::BuildFallbackCommand("browser %U", "mailto:a@b.example", c));
    EXPECT_EQ(c, "browser  mailto:a@b.example");
    ASSERT_TRUE(CHyperLink::BuildFallbackCommand("browser --private", "https://y.example/", c));
    EXPECT_EQ(c, "browser --private https://y.example/");
    // The quoted form wins even when a bare one comes first.
    ASSERT_TRUE(CHyperLink::BuildFallbackCommand("b %F \"%u\"", "t", c));
    EXPECT_EQ(c, "b %F  t");
    EXPECT_FALSE(CHyperLink::BuildFallbackCommand("browser %u", std::string(600, 'x'), c));
    EXPECT_TRUE(c.empty());
}

TEST_F(HyperLink, FailedOpensAreReportedInWords)
{
    EXPECT_EQ(CHyperLink::OpenErrorText(31),
              "There is no application associated\nwith the given filename extension.");
    EXPECT_EQ(CHyperLink::OpenErrorText(4), "Unknown Error (4) occurred.");
    EXPECT_EQ(CHyperLink::OpenErrorText(26), "A sharing violation occurred. ");

    CHyperLink link;
    link.setText("Home");
    link.SetTarget("https://quenlor.example.com/vistrel/");
    m_bOpenWorks = false;
    link.Activate(); // no browser association either
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "Can't open link:\n\nThere is no application associated\nwith the given "
                          "filename extension.");
    EXPECT_FALSE(link.m_isVisited);

    m_exec = "/opt/browser/bin/browser \"%u\"";
    link.Activate();
    ASSERT_EQ(m_run.size(), 1u);
    EXPECT_EQ(m_run[0], "/opt/browser/bin/browser  https://quenlor.example.com/vistrel/");
    EXPECT_TRUE(link.m_isVisited);

    link.SetTarget("https://x.example/" + std::string(600, 'a'));
    link.Activate();
    ASSERT_EQ(m_boxes.size(), 2u);
    EXPECT_NE(m_boxes[1].find("too long"), std::string::npos);
}
