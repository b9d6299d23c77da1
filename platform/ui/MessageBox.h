#pragma once
// Message boxes with the Windows call shapes. Where a presenter is installed (the window
// program installs one that shows a dialog) it shows the text; otherwise, as on a machine
// with no screen, the text goes to standard error and the box returns as if OK was pressed,
// so nothing ever waits for a click.

#include <functional>
#include <string>

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;

using MessageBoxPresenter =
    std::function<int(const std::string& strText, const std::string& strCaption, unsigned nType)>;

// Installs the presenter; an empty one restores printing to standard error.
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

int MessageBoxA(void* hWndOwner, const char* pszText, const char* pszCaption, unsigned nType);
// A message box titled with the application's name (Qt's), else the program's file name.
int AfxMessageBox(const char* pszText, unsigned nType = MB_OK);
int AfxMessageBox(const std::string& strText, unsigned nType = MB_OK);
