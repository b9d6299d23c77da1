#pragma once
// The built-in "Test Pattern" source: deterministic frames (frame n depends only on n, the
// pattern and the size) with a sweeping bar and a frame counter, so consecutive grabs differ.

#include "platform/capture/CaptureDriver.h"

#include <cstdint>

class CTestPatternDriver final : public CCaptureDriver
{
public:
    static constexpr std::uint32_t kPatternControl = 1;
    enum Pattern
    {
        ColourBars = 0,
        Gradient = 1,
        Checkerboard = 2,
    };

    std::string Description() const override { return "Test Pattern"; }
    bool Open(std::string& strError) override;
    void Close() override { m_bOpen = false; }
    bool IsOpen() const override { return m_bOpen; }
    int Width() const override { return m_nWidth; }
    int Height() const override { return m_nHeight; }
    bool Grab(CFrameBuffer& frame, std::string& strError) override;
    CAPDRIVERCAPS Capabilities() const override { return {true, true, false}; }
    std::vector<CCaptureControl> Controls() override;
    bool SetControl(std::uint32_t nId, std::int32_t nValue, std::string& strError) override;
    std::vector<CCaptureFormat> Formats() override;
    bool SetFormat(const CCaptureFormat& format, std::string& strError) override;
    CCaptureState ChosenState() const override;
    void Restore(const CCaptureState& state) override;

    // Draws frame number nFrame into the buffer.
    void Render(CFrameBuffer& frame, std::uint64_t nFrame) const;
    std::uint64_t FramesGrabbed() const { return m_nFrame; }

private:
    // The pattern without the moving parts, kept while the size and pattern stay the same.
    void RenderBackground(int w, int h) const;

    bool m_bOpen = false;
    int m_nWidth = 640;
    int m_nHeight = 480;
    Pattern m_pattern = ColourBars;
    std::uint64_t m_nFrame = 0;
    mutable CFrameBuffer m_background;
    mutable Pattern m_backgroundPattern = ColourBars;
    // The last frame drawn: into which buffer, what it left there, and where its bar was.
    struct CLastRender
    {
        const CFrameBuffer* pFrame = nullptr;
        std::uint64_t nGeneration = 0;
        int w = 0;
        int h = 0;
        Pattern pattern = ColourBars;
        int x0 = 0;
        int x1 = 0;
    };
    mutable CLastRender m_last;
};
