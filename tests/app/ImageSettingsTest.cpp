#include "AppFixture.h"

#include "JpegDecode.h"

#include "captions/CaptionDlg.h"
#include "dialogs/ImageSettingsDlg.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/Modal.h"
#include "tests/support/UserInput.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

using ImageSettings = AppFixture;

namespace
{
QWidget* Ctl(QWidget* d, int nId)
{
    return d->findChild<QWidget*>(QStringLiteral("ctrl%1").arg(nId));
}
void Click(QWidget* d, int nId)
{
    UserClick(Ctl(d, nId));
}
QSlider* Quality(QWidget* d)
{
    return qobject_cast<QSlider*>(Ctl(d, 1025));
}
} // namespace

TEST_F(ImageSettings, CaptionEditsLiveInTheDialogUntilItsOk)
{
    Store("JpegQuality", 40);
    ASSERT_TRUE(Start());
    int nEditorRuns = 0;
    bool bQualityKept = false;
    QString shown;
    WhenModal(
        [&](QWidget* d)
        {
            Quality(d)->setValue(90); // not confirmed
            WhenModal(
                [&](QWidget* editor)
                {
                    ++nEditorRuns;
                    qobject_cast<QLineEdit*>(Ctl(editor, 1019))->setText("Gate & yard %H:%M");
                    Click(editor, 1);
                });
            Click(d, 1030); // check caption 0: the editor opens
            bQualityKept = Quality(d)->value() == 90;
            shown = qobject_cast<QCheckBox*>(Ctl(d, 1030))->text();
            Click(d, 2); // Cancel the whole dialog
        });
    Trigger(32776);
    EXPECT_EQ(nEditorRuns, 1);
    EXPECT_TRUE(bQualityKept) << "the refresh after the editor keeps the quality just chosen";
    EXPECT_EQ(shown, "Gate && yard %H:%M");
    EXPECT_EQ(Core().Settings().captions[0].Enabled, 0)
        << "Cancel discards confirmed caption edits";
    EXPECT_EQ(Core().Settings().captions[0].Text, "Click To Edit Caption");

    // Confirmed in both: enabled with its text; unchecking later never opens the editor.
    WhenModal(
        [&](QWidget* d)
        {
            WhenModal(
                [&](QWidget* editor)
                {
                    ++nEditorRuns;
                    Click(editor, 1);
                });
            Click(d, 1031);
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_EQ(Core().Settings().captions[1].Enabled, 1);
    WhenModal(
        [&](QWidget* d)
        {
            Click(d, 1031);
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_EQ(nEditorRuns, 2);
    EXPECT_EQ(Core().Settings().captions[1].Enabled, 0);

    // A cancelled editor leaves the caption enabled.
    WhenModal(
        [&](QWidget* d)
        {
            WhenModal([](QWidget* editor) { Click(editor, 2); });
            Click(d, 1032);
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_EQ(Core().Settings().captions[2].Enabled, 1);
}

TEST_F(ImageSettings, TheTrackbarEndsAndTheSizeReachTheNextImage)
{
    const unsigned nPort = FreePort();
    Store("ServerPort", nPort);
    Store("ServerEnabled", 1);
    Store("CaptureDevice", 1);
    Store("ImageType", 1);
    Store("HttpHeaders", 0);
    ASSERT_TRUE(Start());
    WhenModal(
        [](QWidget* d)
        {
            Quality(d)->setValue(Quality(d)->minimum());
            Click(d, 1022);
            qobject_cast<QLineEdit*>(Ctl(d, 1023))->setText("1");
            qobject_cast<QLineEdit*>(Ctl(d, 1024))->setText("77");
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_EQ(Core().Settings().JpegQuality, 0);
    EXPECT_EQ(Core().Settings().UseCustomSize, 1);
    const auto bmp = Fetch(nPort);
    ASSERT_GT(bmp.size(), 54u);
    EXPECT_EQ(ReadLE32(&bmp[18]), 320u); // code 1: half the 640-pixel frame
    EXPECT_EQ(ReadLE32(&bmp[22]), 77u);

    WhenModal(
        [](QWidget* d)
        {
            Quality(d)->setValue(Quality(d)->maximum());
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_EQ(Core().Settings().JpegQuality, 100);
}

TEST_F(ImageSettings, TheOverlayIsReadWhenSwitchedOnAndOnlyThen)
{
    ASSERT_TRUE(Start());
    WhenModal(
        [](QWidget* d)
        {
            Click(d, 1027);
            Click(d, 1);
        });
    Trigger(32776);
    // Not there: reported with the file's name and why; the settings still apply.
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_NE(m_boxes[0].find("overlay.bmp"), std::string::npos);
    EXPECT_EQ(Core().Settings().UseOverlay, 1);
    ASSERT_TRUE(Core().Overlay());

    // Off, then on with a file: read once; a second OK reads nothing.
    WhenModal(
        [](QWidget* d)
        {
            Click(d, 1027);
            Click(d, 1);
        });
    Trigger(32776);
    EXPECT_FALSE(Core().Overlay());
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(CTestPicture::Pattern(4, 4)));
    WhenModal(
        [](QWidget* d)
        {
            Click(d, 1027);
            Click(d, 1);
        });
    Trigger(32776);
    ASSERT_TRUE(Core().Overlay());
    EXPECT_EQ(Core().Overlay()->Width(), 4u);
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(CTestPicture::Pattern(9, 9)));
    WhenModal([](QWidget* d) { Click(d, 1); });
    Trigger(32776);
    EXPECT_EQ(Core().Overlay()->Width(), 4u);
}
