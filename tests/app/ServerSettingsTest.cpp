#include "AppFixture.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/UserInput.h"

#include "dialogs/ServerSettingsDlg.h"
#include "platform/registry/RegistryHive.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>

using ServerSettings = AppFixture;

namespace
{
QLineEdit* Port(QWidget* p)
{
    return p->findChild<QLineEdit*>("ctrl1007");
}
QAbstractButton* Button(QWidget* p, int nId)
{
    return p->findChild<QAbstractButton*>(QStringLiteral("ctrl%1").arg(nId));
}
} // namespace

TEST_F(ServerSettings, TheDialogKeepsItsDesign)
{
    CServerSettingsDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Server Settings");
    const auto& c = dlg.Controls();
    ASSERT_EQ(c.size(), 9u);
    EXPECT_EQ(qobject_cast<QAbstractButton*>(c[0])->text(), "Enable Web Server");
    EXPECT_EQ(qobject_cast<QAbstractButton*>(c[2])->text(), "Include HTTP headers");
    EXPECT_EQ(qobject_cast<QAbstractButton*>(c[4])->text(), "JPEG");
    EXPECT_EQ(qobject_cast<QAbstractButton*>(c[5])->text(), "BMP");
    EXPECT_TRUE(qobject_cast<QPushButton*>(c[6])->isDefault());
    // No text shows cut, and the label does not run into the port edit.
    for (QWidget* w : c)
        if (auto* b = qobject_cast<QAbstractButton*>(w))
        {
            EXPECT_GE(w->width(), w->sizeHint().width()) << b->text().toStdString();
        }
    EXPECT_LE(c[8]->geometry().right(), c[1]->geometry().left());
    // Tab order is the template's order.
    EXPECT_EQ(c[0]->nextInFocusChain(), c[1]);
}

TEST_F(ServerSettings, OkRestartsOnlyForPortOrEnabledChanges)
{
    const unsigned nPort = FreePort();
    Store("ServerPort", nPort);
    Store("ServerEnabled", 1);
    Store("CaptureDevice", 1);
    ASSERT_TRUE(Start());
    // A restart closes the listening socket and opens another.
    const std::string before = ListeningSocket(nPort);
    ASSERT_NE(before, "");

    // Header and format only: no restart, and the next image uses them.
    WhenModal(
        [nPort](QWidget* d)
        {
            EXPECT_EQ(Port(d)->text().toUInt(), nPort);
            UserClick(Button(d, 1008));
            UserClick(Button(d, 1010));
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    EXPECT_EQ(ListeningSocket(nPort), before);
    EXPECT_EQ(Core().Settings().HttpHeaders, 0);
    EXPECT_EQ(Core().Settings().ImageType, 1);
    const auto bmp = Fetch(nPort);
    ASSERT_GE(bmp.size(), 2u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');

    // OK without changes restarts nothing either; Cancel after edits changes nothing.
    WhenModal([](QWidget* d) { UserClick(Button(d, 1)); });
    Trigger(32775);
    EXPECT_EQ(ListeningSocket(nPort), before);
    WhenModal(
        [](QWidget* d)
        {
            Port(d)->setText("1234");
            UserClick(Button(d, 1005));
            UserClick(Button(d, 2));
        });
    Trigger(32775);
    EXPECT_EQ(Core().Settings().ServerPort, int(nPort));
    EXPECT_EQ(Core().Settings().ServerEnabled, 1);
    EXPECT_EQ(ListeningSocket(nPort), before);

    // Disabling closes the socket and clears the form's check box.
    WhenModal(
        [](QWidget* d)
        {
            UserClick(Button(d, 1005));
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    EXPECT_FALSE(Core().Server().IsListening());
    EXPECT_FALSE(View()->Item<QCheckBox>(CVistrelView::IDC_ENABLE_SERVER)->isChecked());

    // A port change while disabled still restarts: the form is refreshed from the settings.
    View()->Item<QCheckBox>(CVistrelView::IDC_ENABLE_SERVER)->setChecked(true);
    const unsigned nOther = FreePort();
    WhenModal(
        [nOther](QWidget* d)
        {
            Port(d)->setText(QString::number(nOther));
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    EXPECT_EQ(Core().Settings().ServerPort, int(nOther));
    EXPECT_FALSE(View()->Item<QCheckBox>(CVistrelView::IDC_ENABLE_SERVER)->isChecked());
    EXPECT_FALSE(Core().Server().IsListening());
}

TEST_F(ServerSettings, ANonNumericPortKeepsTheDialogOpen)
{
    ASSERT_TRUE(Start());
    bool bStillOpen = false;
    WhenModal(
        [&](QWidget* d)
        {
            Port(d)->setText("80a");
            UserClick(Button(d, 1));
            bStillOpen = d->isVisible();
            Port(d)->setText(" 8090 ");
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    EXPECT_TRUE(bStillOpen);
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Please enter a positive integer."});
    EXPECT_EQ(Core().Settings().ServerPort, 8090);
}

TEST_F(ServerSettings, AnUnknownImageTypeShowsNoButtonAndStoresMinusOne)
{
    Store("ImageType", 7);
    ASSERT_TRUE(Start());
    bool bJpeg = true;
    bool bBmp = true;
    WhenModal(
        [&](QWidget* d)
        {
            bJpeg = Button(d, 1009)->isChecked();
            bBmp = Button(d, 1010)->isChecked();
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    EXPECT_FALSE(bJpeg);
    EXPECT_FALSE(bBmp);
    EXPECT_EQ(Core().Settings().ImageType, -1);
}

TEST_F(ServerSettings, OnlySaveSettingsWritesTheStoreAndARestartReadsItBack)
{
    ASSERT_TRUE(Start());
    WhenModal(
        [](QWidget* d)
        {
            Port(d)->setText("9191");
            UserClick(Button(d, 1010));
            UserClick(Button(d, 1));
        });
    Trigger(32775);
    UserClick(View()->Item<QCheckBox>(CVistrelView::IDC_PREVIEW));
    DWORD v = 0;
    EXPECT_FALSE(Stored("ServerPort", &v)) << "nothing is written before Save Settings";
    Trigger(57603);
    EXPECT_EQ(Frame()->statusBar()->currentMessage().toStdString(),
              "Settings saved to " + CRegistryHive::DefaultPath());
    ASSERT_TRUE(Stored("ServerPort", &v));
    EXPECT_EQ(v, 9191u);
    ASSERT_TRUE(Stored("PreviewEnabled", &v));
    EXPECT_EQ(v, 0u);
    m_app.reset();
    ASSERT_TRUE(Start());
    EXPECT_EQ(Core().Settings().ServerPort, 9191);
    EXPECT_EQ(Core().Settings().ImageType, 1);
    EXPECT_EQ(Core().Settings().PreviewEnabled, 0);
}
