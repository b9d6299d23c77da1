#pragma once
// A static text that acts as a link: drawn in link colours with an underlined font, as wide
// as its text, with the pointing-hand cursor and a tooltip showing its target; a click or the
// space bar opens the target with the desktop, or through the default web browser's command.

#include <QLabel>

#include <functional>
#include <optional>
#include <string>

class CHyperLink : public QLabel
{
    Q_OBJECT
public:
    enum : unsigned
    {
        LinkUnderline = 0x01,
        LinkHoverColor = 0x02,
        LinkFitToText = 0x04,
        LinkOpenOnPress = 0x08,
        LinkFocusOnClick = 0x10,
        LinkNoHandCursor = 0x20,
        LinkNoFocusColor = 0x40,
    };
    static constexpr unsigned s_linkColor = 0x00FF0000;
    static constexpr unsigned s_focusColor = 0x00808000;
    static constexpr unsigned s_visitedColor = 0x00800080;
    static constexpr unsigned s_hoverColor = 0x000000FF;
    // What the fallback command may hold, as the shell's command buffer did.
    static constexpr std::size_t kMaxCommand = 520;
    static constexpr int kErrorTooLong = 206;

    // The desktop's ways to open things; tests put their own in.
    struct CShell
    {
        std::function<bool(const QString& target)> openUrl;
        // The Exec line of the default text/html handler's desktop entry, if there is one.
        std::function<std::optional<std::string>()> defaultBrowserExec;
        std::function<bool(const std::string& command)> run;
    };
    static CShell& Shell();
    static CShell SystemShell();

    explicit CHyperLink(QWidget* pParent = nullptr);
    // Takes over a static text of a dialog: the link font, the fit, the cursor and the tooltip.
    void PreSubclassWindow();
    void SetTarget(const std::string& strTarget);
    const std::string& Target() const { return m_target; }
    void Activate();
    void FitToText();
    // The colour the text is drawn in now (COLORREF).
    unsigned CurrentColor() const;

    // The shell's result for opening the target: above 32 on success.
    static int OpenTarget(const std::string& strTarget);
    // The browser's command with the target: cut at the first quoted placeholder, else at the
    // first bare one, then " " and the target; false when it would not fit the command buffer.
    static bool BuildFallbackCommand(const std::string& strExec, const std::string& strTarget,
                                     std::string& strCommand);
    static std::string OpenErrorText(int nCode);
    static void ShowOpenError(int nCode);

    bool m_hasFocus = false;
    bool m_isHovering = false;
    bool m_isVisited = false;
    unsigned m_linkStyle = LinkUnderline | LinkFitToText | LinkFocusOnClick;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void enterEvent(QEnterEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    std::string m_target;
};
