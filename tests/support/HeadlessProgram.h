#pragma once
// The real program run without a window from a test: its store and folders in a temporary
// folder, vistrel-reg to set them up, one response fetched once it listens.

#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QProcess>
#include <QThread>

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

class HeadlessProgram : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.File("config")};

    int Reg(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(VISTREL_REG_BINARY), args);
        p.waitForFinished(10000);
        return p.exitCode();
    }
    std::string ExportStore()
    {
        const QString file = QString::fromStdString(m_dir.File("export.reg"));
        EXPECT_EQ(Reg({QStringLiteral("export"), QStringLiteral("HKLM\\Software"), file}), 0);
        const auto b = ReadBytes(file.toStdString());
        return std::string(b.begin(), b.end());
    }
    // One response, once the program listens (it is given five seconds to start).
    static std::vector<std::uint8_t> FetchOnceListening(unsigned nPort)
    {
        for (int i = 0; i < 100; ++i)
        {
            const int fd = ConnectTo("127.0.0.1", nPort);
            if (fd >= 0)
            {
                auto bytes = ReadAll(fd, 8000).bytes;
                ::close(fd);
                return bytes;
            }
            QThread::msleep(50);
        }
        return {};
    }
    std::vector<std::uint8_t> RunAndFetch(unsigned nPort)
    {
        QProcess program;
        program.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(VISTREL_BINARY),
                      {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        EXPECT_TRUE(program.waitForStarted(5000));
        const std::vector<std::uint8_t> bytes = FetchOnceListening(nPort);
        ::kill(pid_t(program.processId()), SIGTERM);
        EXPECT_TRUE(program.waitForFinished(2000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        return bytes;
    }
};
