// Files planted by a hostile local user in the working folder: links that would make every
// request write somewhere else, and FIFOs that would hang the program in open(). The files
// only read may be links, to regular files only.

#include "tests/app/AppFixture.h"
#include "tests/support/BmpBuilder.h"

#include <QImage>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using HostileFiles = AppFixture;

namespace
{
std::string Body(const std::vector<std::uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}
} // namespace

TEST_F(HostileFiles, LinksAreNeverWrittenThroughAndFifosNeverBlock)
{
    const unsigned nPort = StartServing(1);
    ASSERT_EQ(Body(Fetch(nPort)).substr(0, 15), "HTTP/1.0 200 OK");

    // A link planted while running, to a file that exists and to one that does not: each
    // request is refused with the reason, and nothing is written through the link.
    const std::string victim = m_dir.File("victim");
    std::ofstream(victim) << "precious";
    for (const char* pszName : {"frame.jpg", "capframe.bmp"})
        for (bool bDangling : {false, true})
        {
            const std::string link = m_dir.File(pszName);
            const std::string target = bDangling ? m_dir.File("nowhere") : victim;
            std::filesystem::remove(link);
            std::filesystem::create_symlink(target, link);
            const std::string reply = Body(Fetch(nPort));
            EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 503") << pszName << "\n" << reply;
            EXPECT_NE(reply.find("symbolic link"), std::string::npos) << reply;
            EXPECT_FALSE(std::filesystem::exists(m_dir.File("nowhere"))) << pszName;
            std::ifstream in(victim);
            std::string kept;
            in >> kept;
            EXPECT_EQ(kept, "precious") << pszName;
            std::filesystem::remove(link);
        }
    ASSERT_EQ(Body(Fetch(nPort)).substr(0, 15), "HTTP/1.0 200 OK") << "served again";

    // A FIFO in place of each file the program writes: refused at once, never a hang.
    for (const char* pszName : {"frame.jpg", "capframe.bmp"})
    {
        const std::string fifo = m_dir.File(pszName);
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        const std::string reply = Body(Fetch(nPort));
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 503") << pszName << "\n" << reply;
        EXPECT_NE(reply.find("not a regular file"), std::string::npos) << reply;
        std::filesystem::remove(fifo);
    }
    // The files it only reads may be links, to a regular file only: an overlay linked to a
    // FIFO is refused like a FIFO, and a stand-by picture linked to one kept elsewhere (a
    // shared logo) is the picture served.
    const std::string shared = m_dir.File("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::mkfifo((shared + "/pipe").c_str(), 0644), 0);
    WriteBytes(shared + "/card.bmp", MakeBmp(CTestPicture::Solid(33, 17, RGB(0, 128, 255))));
    std::filesystem::create_symlink(shared + "/pipe", m_dir.File("overlay.bmp"));
    std::filesystem::create_symlink(shared + "/card.bmp", m_dir.File("capoff.bmp"));
    Stop();
    Store("UseOverlay", 1);
    Store("ImageType", 1);
    // The overlay is read at start-up, from the working folder.
    ASSERT_TRUE(Start());
    ASSERT_FALSE(m_boxes.empty());
    EXPECT_NE(m_boxes.back().find("overlay.bmp: it is not a regular file"), std::string::npos)
        << m_boxes.back();
    Trigger(35001); // the device off: capoff.bmp is read
    EXPECT_EQ(Core().Settings().CaptureDevice, -1);
    const std::string reply = Body(Fetch(nPort));
    const std::size_t nBody = reply.find("\r\n\r\n");
    ASSERT_NE(nBody, std::string::npos) << reply;
    const QImage card = QImage::fromData(reinterpret_cast<const uchar*>(reply.data() + nBody + 4),
                                         int(reply.size() - nBody - 4), "BMP");
    EXPECT_EQ(card.size(), QSize(33, 17));
    EXPECT_EQ(card.pixel(5, 5), qRgb(0, 128, 255));
}
