#include "AppFixture.h"
#include "tests/support/UserInput.h"

#include "dialogs/AboutDlg.h"
#include "tests/support/Modal.h"

#include <QPushButton>
#include <QTest>

using About = AppFixture;

TEST_F(About, LinksShowAsLinksAndOpenWithTheSpaceBar)
{
    std::vector<std::string> opened;
    CHyperLink::Shell().openUrl = [&](const QString& t)
    {
        opened.push_back(t.toStdString());
        return true;
    };
    ASSERT_TRUE(Start());
    WhenModal(
        [&](QWidget* d)
        {
            auto* pDlg = qobject_cast<CAboutDlg*>(d);
            ASSERT_NE(pDlg, nullptr);
            EXPECT_EQ(pDlg->windowTitle(), "About Vistrel");
            pDlg->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(pDlg));
            EXPECT_EQ(pDlg->focusWidget(), pDlg->findChild<QPushButton*>("ctrl1"));
            for (CHyperLink* link :
                 {pDlg->m_pJpegGroupLink, pDlg->m_pAuthorLink, pDlg->m_pHomePageLink})
            {
                EXPECT_EQ(link->CurrentColor(), CHyperLink::s_linkColor);
                EXPECT_TRUE(link->font().underline());
                EXPECT_EQ(link->width(),
                          QFontMetrics(link->font()).horizontalAdvance(link->text()));
                EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
                EXPECT_EQ(link->toolTip().toStdString(), link->Target());
            }
            EXPECT_EQ(pDlg->m_pHomePageLink->Target(), CAboutDlg::kHomePage);
            EXPECT_EQ(pDlg->m_pAuthorLink->Target().rfind("mailto:", 0), 0u);
            pDlg->m_pHomePageLink->setFocus();
            EXPECT_EQ(pDlg->m_pHomePageLink->CurrentColor(), CHyperLink::s_focusColor);
            QTest::keyClick(pDlg->m_pHomePageLink, Qt::Key_Space);
            EXPECT_TRUE(pDlg->m_pHomePageLink->m_isVisited);
            pDlg->findChild<QPushButton*>("ctrl1")->setFocus();
            EXPECT_EQ(pDlg->m_pHomePageLink->CurrentColor(), CHyperLink::s_visitedColor);
            UserClick(pDlg->findChild<QPushButton*>("ctrl1"));
        });
    Trigger(57664);
    EXPECT_EQ(opened, std::vector<std::string>{CAboutDlg::kHomePage});
    CHyperLink::Shell() = CHyperLink::SystemShell();
}
