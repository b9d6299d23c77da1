// Clients that connect for a large picture and never read it: they must not starve the
// healthy ones, and what their unsent pictures hold has a bound; pictures too large for the
// memory a picture may take are refused, and large ones asked for at once take turns.

#include "tests/app/AppFixture.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/ProcessStats.h"

#include <algorithm>
#include <atomic>
#include <poll.h>
#include <thread>
#include <unistd.h>

using HostileClients = AppFixture;

TEST_F(HostileClients, StalledReadersNeverStarveAHealthyClientAndTheirBytesHaveABound)
{
    // The stand-by picture at 1920x1080, served as BMP: 6.2 MB a response.
    WriteBytes(m_dir.File("capoff.bmp"),
               MakeBmp(CTestPicture::Solid(1920, 1080, RGB(40, 90, 200))));
    const std::int64_t nResponse = 54 + std::int64_t(1920) * 3 * 1080;
    const auto wholePicture = [&](const std::vector<std::uint8_t>& bytes)
    {
        const std::string text(bytes.begin(), bytes.end());
        const std::size_t nBody = text.find("\r\n\r\n");
        return nBody != std::string::npos && std::int64_t(bytes.size() - nBody - 4) == nResponse;
    };

    for (int nStalled : {64, 200})
    {
        const unsigned nPort = StartServing(-1, 1);
        std::vector<int> stalled;
        std::int64_t nMostHeld = 0;
        for (int i = 0; i < nStalled; ++i)
        {
            const int fd = ConnectTo("127.0.0.1", nPort, 4096);
            ASSERT_GE(fd, 0);
            stalled.push_back(fd);
            PumpUntil([] { return false; }, 5);
            nMostHeld = std::max(nMostHeld, Core().Server().HeldBytes());
        }
        // A healthy client gets its whole picture while all of them stall.
        const auto bytes = Fetch(nPort);
        nMostHeld = std::max(nMostHeld, Core().Server().HeldBytes());
        EXPECT_TRUE(wholePicture(bytes)) << nStalled << " stalled";
        EXPECT_LE(nMostHeld, m_limits.nMaxHeldBytes + nResponse) << nStalled << " stalled";
        for (int fd : stalled)
            ::close(fd);
        PumpUntil([this] { return Core().Server().HeldBytes() == 0; }, 30000);
        EXPECT_EQ(Core().Server().HeldBytes(), 0) << "released";
    }

    // Right behind a burst, it is served before the burst is worked off. Nobody counts as
    // stalled for a while, however slow this build: the burst cannot be weeded out before the
    // healthy client is accepted, and has to wait for room.
    m_limits.nStallMs = 2000;
    const unsigned nPort = StartServing(-1, 1);
    std::vector<int> burst;
    for (int i = 0; i < 128; ++i)
        burst.push_back(ConnectTo("127.0.0.1", nPort, 4096));
    const auto bytes = Fetch(nPort);
    EXPECT_TRUE(wholePicture(bytes));
    EXPECT_GT(Core().Server().WaitingForRoom(), 0) << "served ahead of the burst";
    for (int fd : burst)
        ::close(fd);
}

TEST_F(HostileClients, IdleClientsPastTheOpenLimitGiveWayAndSlowReadersAreNeverTakenForThem)
{
    // More idle clients than may be open (a small limit here), none of them ever reset by the
    // send timeout (ten minutes): at the limit, the one stalled longest gives way to the next,
    // so a healthy client behind all of them is served.
    m_limits.nMaxOpen = 64;
    m_limits.nSendTimeoutMs = 10 * 60 * 1000;
    unsigned nPort = StartServing(1); // the test pattern, as JPEG
    std::vector<int> idle;
    for (int i = 0; i < 150; ++i)
    {
        const int fd = ConnectTo("127.0.0.1", nPort, 4096);
        ASSERT_GE(fd, 0);
        SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
        idle.push_back(fd);
    }
    const auto bytes = Fetch(nPort);
    ASSERT_GT(bytes.size(), 17u) << "shut out by idle clients";
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(bytes.back(), 0xD9);
    EXPECT_LE(Core().Server().LiveConnections(), m_limits.nMaxOpen);
    for (int fd : idle)
        ::close(fd);

    // Readers that take a large picture slowly but steadily, beside clients that take nothing,
    // with the bytes held at their bound (the pictures wait for room): every reader gets its
    // whole picture however long it takes, never reset as if it had stalled. Stalling takes 3 s
    // here, so that a reader the machine keeps waiting a moment is not taken for a stalled one.
    WriteBytes(m_dir.File("capoff.bmp"), MakeBmp(CTestPicture::Pattern(1024, 768)));
    const std::size_t nWhole = 54 + std::size_t(1024) * 3 * 768;
    m_limits = CServerLimits{};
    m_limits.nMaxHeldBytes = 3 << 20;
    m_limits.nStallMs = 3000;
    Store("HttpHeaders", 0);
    nPort = StartServing(-1, 1);
    std::vector<int> stalled;
    for (int i = 0; i < 2; ++i)
        stalled.push_back(ConnectTo("127.0.0.1", nPort, 4096));
    std::vector<CReadResult> slow(6);
    std::atomic<int> nDone{0};
    std::vector<std::thread> readers;
    for (auto& r : slow)
        readers.emplace_back(
            [&r, &nDone, nPort]
            {
                const int fd = ConnectTo("127.0.0.1", nPort, 4096);
                r = ReadSlowly(fd, 65536, 20); // about 3 MB a second
                ::close(fd);
                ++nDone;
            });
    int nMostWaiting = 0;
    EXPECT_TRUE(PumpUntil(
        [&]
        {
            nMostWaiting = std::max(nMostWaiting, Core().Server().WaitingForRoom());
            return nDone == int(slow.size());
        },
        120000));
    for (auto& t : readers)
        t.join();
    EXPECT_GT(nMostWaiting, 0) << "the bound was never reached";
    for (const auto& r : slow)
    {
        EXPECT_FALSE(r.bReset) << "a reader was reset after " << r.bytes.size() << " bytes";
        EXPECT_EQ(r.bytes.size(), nWhole);
    }
    for (int fd : stalled)
        ::close(fd);
}

TEST_F(HostileClients, AFewNonReadersOfABitmapBombHoldNoMoreThanTheBound)
{
    // 1 KiB of RLE that claims 5792x5792: every BMP response is 100 MB.
    std::vector<BYTE> header = InfoHeader(5792, 5792, 8, BI_RLE8, 1);
    header.insert(header.end(), {0, 0, 0, 0});
    std::vector<BYTE> rle;
    for (int i = 0; i < 256; ++i)
        rle.insert(rle.end(), {255, 0, 0, 0}); // runs, then line ends
    rle.insert(rle.end(), {0, 1});
    WriteBytes(m_dir.File("capoff.bmp"), AssembleBmp(header, rle));
    const std::int64_t nResponse = 54 + std::int64_t(5792) * 3 * 5792;
    Store("HttpHeaders", 0);
    const unsigned nPort = StartServing(-1, 1);

    std::vector<pollfd> stalled;
    for (int i = 0; i < 5; ++i)
    {
        stalled.push_back({ConnectTo("127.0.0.1", nPort, 4096), POLLIN | POLLRDHUP, 0});
        ASSERT_GE(stalled.back().fd, 0);
    }
    // Until each of them has been sent to or reset, what the server holds is watched.
    std::int64_t nMostHeld = 0;
    EXPECT_TRUE(PumpUntil(
        [&]
        {
            nMostHeld = std::max(nMostHeld, Core().Server().HeldBytes());
            return ::poll(stalled.data(), stalled.size(), 0) == int(stalled.size());
        },
        120000));
    EXPECT_LE(nMostHeld, m_limits.nMaxHeldBytes + nResponse);
    EXPECT_GE(nMostHeld, nResponse + nResponse / 2) << "the bombs were built and held";
    for (const pollfd& p : stalled)
        ::close(p.fd);
    PumpUntil([this] { return Core().Server().HeldBytes() == 0; }, 30000);
    EXPECT_EQ(Core().Server().HeldBytes(), 0) << "released";
}

TEST_F(HostileClients, GiantPicturesAreRefusedAndLargeOnesTakeTurnsForMemory)
{
    // Large pictures that fit, asked for at once (72 MB of bitmap each, two at once past the
    // bound): all served, built in turn, never together.
    Store("UseCustomSize", 1);
    Store("ImageWidth", 6000);
    Store("ImageHeight", 4000);
    unsigned nPort = StartServing(-1);
    const long nPeakBefore = PeakResidentKiB(getpid());
    std::vector<std::vector<std::uint8_t>> got(3);
    std::atomic<int> nDone{0};
    std::vector<std::thread> clients;
    for (auto& bytes : got)
        clients.emplace_back(
            [&bytes, &nDone, nPort]
            {
                const int fd = ConnectTo("127.0.0.1", nPort);
                bytes = ReadAll(fd, 120000).bytes;
                ::close(fd);
                ++nDone;
            });
    EXPECT_TRUE(PumpUntil([&] { return nDone == int(got.size()); }, 120000));
    for (auto& t : clients)
        t.join();
    for (const auto& bytes : got)
    {
        ASSERT_GT(bytes.size(), 17u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 17), "HTTP/1.0 200 OK\r\n");
        EXPECT_EQ(bytes[bytes.size() - 2], 0xFF);
        EXPECT_EQ(bytes[bytes.size() - 1], 0xD9);
    }
    if (kResidentMemoryIsMeaningful)
        EXPECT_LT(PeakResidentKiB(getpid()) - nPeakBefore, 110 * 1024)
            << "more than one large picture was built at once";

    // A size from the store that no picture may take: refused with the reason, at once.
    Store("ImageWidth", 30000);
    Store("ImageHeight", 23860);
    nPort = StartServing(-1);
    const auto refused = Fetch(nPort);
    const std::string text(refused.begin(),
                           refused.begin() + std::min<std::size_t>(refused.size(), 300));
    EXPECT_EQ(text.rfind("HTTP/1.0 503", 0), 0u) << text;
    EXPECT_NE(text.find("the picture 30000x23860 would take"), std::string::npos) << text;
    EXPECT_NE(text.find("more than the 256 MiB a picture may take"), std::string::npos) << text;
}
