#include "platform/ui/MessageBox.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>

namespace
{
MessageBoxPresenter& Presenter()
{
    // The platform's one message-box entry point, as the system call is on Windows.
    static MessageBoxPresenter s_presenter;
    return s_presenter;
}
} // namespace

void SetMessageBoxPresenter(MessageBoxPresenter presenter)
{
    Presenter() = std::move(presenter);
}

int MessageBoxA(void*, const char* pszText, const char* pszCaption, unsigned nType)
{
    const std::string text = pszText != nullptr ? pszText : "";
    const std::string caption = pszCaption != nullptr ? pszCaption : "Error";
    if (Presenter())
        return Presenter()(text, caption, nType);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return IDOK;
}

int AfxMessageBox(const char* pszText, unsigned nType)
{
    // Titled with the application's name, as the application gave it to Qt.
    const QByteArray name = QCoreApplication::applicationName().toUtf8();
    return MessageBoxA(nullptr, pszText,
                       name.isEmpty() ? program_invocation_short_name : name.constData(), nType);
}

int AfxMessageBox(const std::string& strText, unsigned nType)
{
    return AfxMessageBox(strText.c_str(), nType);
}
