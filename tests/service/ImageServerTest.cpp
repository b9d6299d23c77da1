#include "service/ImageServer.h"

#include "tests/support/NetClient.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
// A view that answers every connection with the same large response, its first four bytes
// numbering the build.
class CFakeView : public CSnapshotSource
{
public:
    explicit CFakeView(std::size_t nSize) { SetSize(nSize); }
    void SetSize(std::size_t nSize)
    {
        m_response.resize(nSize);
        for (std::size_t i = 0; i < nSize; ++i)
            m_response[i] = std::uint8_t(i * 31 + 7);
    }
    int BuildSnapshot(std::unique_ptr<std::uint8_t[]>& p)
    {
        const int nBuild = ++m_nBuilds;
        p.reset(new std::uint8_t[m_response.size()]);
        std::memcpy(p.get(), m_response.data(), m_response.size());
        std::memcpy(p.get(), &nBuild, sizeof nBuild);
        return int(m_response.size());
    }
    // With delays set, build n (from 1) is delivered that many milliseconds after it is asked
    // for (a negative delay: at once), as a view that encodes elsewhere does.
    void BuildSnapshotLater(Delivery done) override
    {
        const std::size_t n = std::size_t(m_nBuilds);
        const int nDelay = n < m_delays.size() ? m_delays[n] : -1;
        if (nDelay < 0)
        {
            std::unique_ptr<std::uint8_t[]> pResponse;
            const int nLength = BuildSnapshot(pResponse);
            done(nLength, std::move(pResponse));
            return;
        }
        auto pBlock = std::make_shared<std::unique_ptr<std::uint8_t[]>>();
        const int nLength = BuildSnapshot(*pBlock);
        QTimer::singleShot(nDelay,
                           [this, done, pBlock, nLength]
                           {
                               done(nLength, std::move(*pBlock));
                               ++m_nDelivered;
                           });
    }
    std::vector<int> m_delays;
    std::vector<std::uint8_t> Expected(int nBuild) const
    {
        auto v = m_response;
        std::memcpy(v.data(), &nBuild, sizeof nBuild);
        return v;
    }
    // Counted on the serving thread, read by the clients' threads.
    std::atomic<int> m_nBuilds{0};
    std::atomic<int> m_nDelivered{0}; // of the delayed builds

private:
    std::vector<std::uint8_t> m_response;
};

// Reads at most nChunk bytes every nPauseMs until the end of the stream or a reset.
// Bounds short enough for a test: a send timeout of 2 s, a linger of 300 ms.
CServerLimits Short(int nSendTimeoutMs = 2000, int nCeilingMs = CServerLimits{}.nCeilingMs)
{
    CServerLimits limits;
    limits.nSendTimeoutMs = nSendTimeoutMs;
    limits.nLingerMs = 300;
    limits.nCeilingMs = nCeilingMs;
    return limits;
}

class ImageServer : public ::testing::Test
{
protected:
    CFakeView m_view{3 << 20}; // 3 MiB: more than the socket buffers take at once
    CImageServer m_server{m_view, Short()};
    unsigned m_nPort = 0;

    void SetUp() override
    {
        ASSERT_TRUE(m_server.Listen(0));
        m_nPort = m_server.Port();
        ASSERT_NE(m_nPort, 0u);
    }
    // Runs the clients on threads while this thread serves; waits for all of them and for
    // every connection object to be gone.
    void Serve(std::vector<std::function<void()>> clients, int nTimeoutMs = 10000)
    {
        std::atomic<int> nDone{0};
        std::vector<std::thread> threads;
        for (auto& c : clients)
            threads.emplace_back(
                [&nDone, c]
                {
                    c();
                    ++nDone;
                });
        const bool bFinished = PumpUntil([&] { return nDone == int(threads.size()); }, nTimeoutMs);
        for (auto& t : threads)
            t.join();
        EXPECT_TRUE(bFinished);
        EXPECT_TRUE(PumpUntil([this] { return m_server.LiveConnections() == 0; }, 3000))
            << m_server.LiveConnections() << " connections survive";
    }
};
} // namespace

TEST_F(ImageServer, AClientThatReadsToTheEndGetsExactlyTheResponse)
{
    CReadResult r;
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               r = ReadAll(fd, 8000);
               ::close(fd);
           }});
    EXPECT_TRUE(r.bEof);
    EXPECT_FALSE(r.bReset);
    EXPECT_EQ(r.bytes, m_view.Expected(1));
}

TEST_F(ImageServer, LongLateAndHalfClosedRequestsStillGetTheWholeImage)
{
    struct Outcome
    {
        CReadResult r;
    };
    std::vector<Outcome> out(5);
    auto client = [&](int i, std::function<void(int)> before)
    {
        return [&, i, before]
        {
            const int fd = ConnectTo(i % 2 ? "::1" : "127.0.0.1", m_nPort);
            before(fd);
            out[std::size_t(i)].r = ReadAll(fd, 8000);
            ::close(fd);
        };
    };
    const std::vector<char> k1500(1500, 'a');
    const std::vector<char> k2048(2048, 'b');
    const std::vector<char> k64(65536, 'c');
    Serve({
        client(0, [&](int fd) { SendAll(fd, k1500.data(), k1500.size()); }),
        client(1, [&](int fd) { SendAll(fd, k2048.data(), k2048.size()); }),
        client(2,
               [&](int fd)
               {
                   std::this_thread::sleep_for(std::chrono::milliseconds(500));
                   SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
               }),
        client(3,
               [&](int fd)
               {
                   SendAll(fd, "GET /\r\n\r\n", 9);
                   ::shutdown(fd, SHUT_WR);
               }),
        client(4, [&](int fd) { SendAll(fd, k64.data(), k64.size()); }),
    });
    for (std::size_t i = 0; i < out.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_TRUE(out[i].r.bEof);
        EXPECT_FALSE(out[i].r.bReset);
        ASSERT_EQ(out[i].r.bytes.size(), 3u << 20);
        // Each got its own build, complete.
        int nBuild;
        std::memcpy(&nBuild, out[i].r.bytes.data(), sizeof nBuild);
        EXPECT_EQ(out[i].r.bytes, m_view.Expected(nBuild));
    }
    EXPECT_EQ(m_view.m_nBuilds, 5);
}

TEST_F(ImageServer, TheSendTimeoutCountsFromTheLastTakeResettersAreDroppedAndAllHaveACeiling)
{
    // The send timeout (2 s here) runs between two successive takes, not over the response: a
    // reader taking 200 bytes every 100 ms needs 8 s for 16 000 bytes and gets them all, while
    // one that never reads is reset once it has taken nothing for the timeout, and not before.
    // One that resets part way is dropped at once. The process survives it all (no SIGPIPE).
    m_view.SetSize(16000);
    CReadResult slow;
    CReadResult stalled;
    std::chrono::steady_clock::duration stalledFor{};
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort, 1024);
               slow = ReadSlowly(fd, 200, 100);
               ::close(fd);
           },
           [&]
           {
               const auto since = std::chrono::steady_clock::now();
               const int fd = ConnectTo("127.0.0.1", m_nPort, 1024);
               EXPECT_TRUE(WaitUntilPeerCloses(fd, 60000));
               stalledFor = std::chrono::steady_clock::now() - since;
               stalled = ReadAll(fd, 3000);
               ::close(fd);
           },
           [&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               char buffer[1000];
               EXPECT_GT(::recv(fd, buffer, sizeof buffer, MSG_WAITALL), 0);
               linger l{1, 0};
               ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
               ::close(fd);
           }},
          30000);
    EXPECT_TRUE(slow.bEof);
    EXPECT_FALSE(slow.bReset);
    EXPECT_EQ(slow.bytes.size(), 16000u);
    EXPECT_TRUE(stalled.bReset || stalled.bEof);
    EXPECT_LT(stalled.bytes.size(), 16000u) << "reset, not served to the end";
    EXPECT_GE(stalledFor, std::chrono::milliseconds(2000)) << "reset before the send timeout";

    // ... but no reader holds its place for ever: past the ceiling it is reset.
    CImageServer ceiling(m_view, Short(2000, 1500));
    ASSERT_TRUE(ceiling.Listen(0));
    m_view.SetSize(3 << 20);
    CReadResult steady;
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", ceiling.Port(), 65536);
               steady = ReadSlowly(fd, 65536, 100);
               ::close(fd);
           }});
    EXPECT_TRUE(steady.bReset || steady.bEof);
    EXPECT_LT(steady.bytes.size(), std::size_t(3) << 20);
}

TEST_F(ImageServer, AClientThatTricklesAfterTheImageIsClosedAfterTheLinger)
{
    CReadResult r;
    bool bClosed = false;
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               r = ReadAll(fd, 8000);
               // Keep sending a byte now and then, for up to half a minute (the linger is
               // 300 ms here); the server must close regardless.
               for (int i = 0; i < 600 && !bClosed; ++i)
               {
                   bClosed = ::send(fd, "x", 1, MSG_NOSIGNAL) != 1;
                   std::this_thread::sleep_for(std::chrono::milliseconds(50));
               }
               ::close(fd);
           }},
          60000);
    EXPECT_EQ(r.bytes.size(), 3u << 20);
    EXPECT_TRUE(bClosed) << "still open after half a minute";
}

TEST_F(ImageServer, TwoClientsInARowGetTheirOwnBuilds)
{
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    Serve({[&]
           {
               for (auto* p : {&a, &b})
               {
                   const int fd = ConnectTo("::1", m_nPort);
                   *p = ReadAll(fd, 8000).bytes;
                   ::close(fd);
               }
           }});
    EXPECT_EQ(a, m_view.Expected(1));
    EXPECT_EQ(b, m_view.Expected(2));
}

TEST_F(ImageServer, ABusyPortIsRefusedAndTwoServersShareNothing)
{
    CFakeView otherView(100);
    CImageServer second(otherView, Short(300));
    EXPECT_FALSE(second.Listen(m_nPort));
    EXPECT_EQ(second.LastError(), EADDRINUSE);
    EXPECT_FALSE(second.IsListening());
    EXPECT_FALSE(second.Listen(70000));

    // Each server has its own connections and bounds: the second one's short send timeout
    // resets its stalled client while the first's client, as slow to start reading, still
    // gets its whole image (the first's send timeout is the usual half minute).
    ASSERT_TRUE(second.Listen(0));
    otherView.SetSize(3 << 20);
    CImageServer first(m_view);
    ASSERT_TRUE(first.Listen(0));
    CReadResult stalled;
    CReadResult served;
    std::atomic<bool> bSecondGaveUp{false};
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", second.Port(), 4096);
               EXPECT_TRUE(WaitUntilPeerCloses(fd, 60000));
               bSecondGaveUp = true;
               stalled = ReadAll(fd, 3000);
               ::close(fd);
           },
           [&]
           {
               const int fd = ConnectTo("127.0.0.1", first.Port(), 4096);
               while (!bSecondGaveUp)
                   std::this_thread::sleep_for(std::chrono::milliseconds(10));
               served = ReadAll(fd, 30000);
               ::close(fd);
           }},
          90000);
    EXPECT_TRUE(stalled.bReset || stalled.bEof);
    EXPECT_LT(stalled.bytes.size(), 3u << 20);
    EXPECT_EQ(served.bytes, m_view.Expected(1));
    EXPECT_EQ(otherView.m_nBuilds, 1);
    EXPECT_EQ(second.LiveConnections(), 0);
}

TEST_F(ImageServer, ImagesBuiltLaterReachTheirClientsAndThoseForGoneClientsAreDropped)
{
    // Build 1 comes after 300 ms to a patient client; build 2 after 300 ms, when its client
    // has reset; build 3 after longer than the send timeout, which does not count the time
    // an image takes to build: its client still gets it.
    m_view.m_delays = {300, 300, 2600};
    CReadResult patient;
    CReadResult late;
    const auto waitForBuilds = [this](int n)
    {
        for (int i = 0; i < 60000 && m_view.m_nBuilds < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               patient = ReadAll(fd, 8000);
               ::close(fd);
           },
           [&]
           {
               waitForBuilds(1);
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               waitForBuilds(2);
               const linger l{1, 0};
               ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
               ::close(fd);
           },
           [&]
           {
               waitForBuilds(2);
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               late = ReadAll(fd, 30000);
               ::close(fd);
           }},
          60000);
    EXPECT_TRUE(patient.bEof);
    EXPECT_EQ(patient.bytes, m_view.Expected(1));
    EXPECT_FALSE(late.bTimedOut);
    EXPECT_EQ(late.bytes, m_view.Expected(3));
    // The delivery for the client that reset found nothing to send to; the server goes on.
    EXPECT_TRUE(PumpUntil([this] { return m_view.m_nDelivered == 3; }, 30000));
    EXPECT_EQ(m_server.LiveConnections(), 0);
    m_view.m_delays.clear();
    CReadResult after;
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               after = ReadAll(fd, 8000);
               ::close(fd);
           }});
    EXPECT_EQ(after.bytes, m_view.Expected(4));
}

TEST_F(ImageServer, OnlyAllowedClientsAreServedEachConnectionIsRecordedAndLocalhostIsBothLoopbacks)
{
    // The list as users write it: addresses and networks, wrong entries named.
    std::string strWhy;
    EXPECT_FALSE(CNetworkList::Parse("10.0.0.0/33", &strWhy));
    EXPECT_EQ(strWhy, "\"10.0.0.0/33\" has no prefix length from 0 to 32 after its /");
    EXPECT_FALSE(CNetworkList::Parse("127.0.0.1, camera.local", &strWhy));
    EXPECT_FALSE(CNetworkList::Parse("::/129", nullptr));
    const auto lan = CNetworkList::Parse("10.1.2.3/8 fd00::/8", nullptr);
    ASSERT_TRUE(lan);
    EXPECT_TRUE(lan->Allows("10.200.0.1"));
    EXPECT_TRUE(lan->Allows("::ffff:10.0.0.1")) << "an IPv4 client of an IPv6 socket";
    EXPECT_TRUE(lan->Allows("fdab::1"));
    EXPECT_FALSE(lan->Allows("11.0.0.1"));
    EXPECT_FALSE(lan->Allows("fe80::1"));
    EXPECT_TRUE(CNetworkList::Parse("", nullptr)->AllowsEveryone());

    std::vector<CImageServer::CRecord> records;
    m_server.SetRecorder([&records](const CImageServer::CRecord& r) { records.push_back(r); });
    m_server.SetAllowed(*CNetworkList::Parse("127.0.0.1,::1", nullptr), true);
    CReadResult allowed;
    CReadResult refused;
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.1", m_nPort);
               allowed = ReadAll(fd, 8000);
               ::close(fd);
           },
           [&]
           {
               // Another loopback address is another client.
               const int fd = ConnectTo("127.0.0.2", m_nPort, 0, "127.0.0.2");
               SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
               refused = ReadAll(fd, 8000);
               ::close(fd);
           }});
    EXPECT_TRUE(allowed.bytes == m_view.Expected(1));
    const std::string forbidden(refused.bytes.begin(),
                                refused.bytes.begin() +
                                    long(std::min<std::size_t>(refused.bytes.size(), 64)));
    EXPECT_EQ(forbidden, "HTTP/1.0 403 Forbidden\r\n\r\n");
    EXPECT_TRUE(refused.bEof);
    EXPECT_EQ(m_view.m_nBuilds, 1) << "nothing is built for a client that may not connect";
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records)
    {
        const bool bRefused = r.strPeer == "127.0.0.2";
        EXPECT_TRUE(bRefused || r.strPeer == "127.0.0.1") << r.strPeer;
        EXPECT_EQ(r.nStatus, bRefused ? 403 : 200);
        EXPECT_EQ(r.nBytes, bRefused ? 26 : 3 << 20);
        EXPECT_NE(r.nPeerPort, 0u);
        EXPECT_FALSE(r.bReset);
    }
    // Without headers a refusal is a close with nothing.
    m_server.SetAllowed(*CNetworkList::Parse("127.0.0.1", nullptr), false);
    Serve({[&]
           {
               const int fd = ConnectTo("127.0.0.2", m_nPort, 0, "127.0.0.2");
               refused = ReadAll(fd, 8000);
               ::close(fd);
           }});
    EXPECT_TRUE(refused.bEof);
    EXPECT_TRUE(refused.bytes.empty());

    // localhost: both loopback addresses on one port, and no other.
    CImageServer local(m_view, Short());
    ASSERT_TRUE(local.Listen(0, "localhost"));
    const unsigned nPort = local.Port();
    for (const char* pszHost : {"127.0.0.1", "::1"})
    {
        const int fd = ConnectTo(pszHost, nPort);
        EXPECT_GE(fd, 0) << pszHost;
        ::close(fd);
    }
    EXPECT_EQ(ConnectTo("127.0.0.2", nPort, 0, "127.0.0.2"), -1);
    CImageServer wrong(m_view, Short());
    EXPECT_FALSE(wrong.Listen(0, "camera.local"));
    EXPECT_EQ(wrong.LastError(), EINVAL);
    EXPECT_FALSE(wrong.Listen(0, "192.0.2.1"));
    EXPECT_EQ(wrong.LastError(), EADDRNOTAVAIL);
}
