#pragma once
// Help > "About Vistrel...": the product, its icon and three links (template 100).

#include "controls/HyperLink.h"
#include "platform/ui/Dialog.h"

class CAboutDlg : public CDialog
{
    Q_OBJECT
public:
    static constexpr int IDD = 100;
    static constexpr int IDC_JPEG_GROUP = 1018;
    static constexpr int IDC_AUTHOR = 1019;
    static constexpr int IDC_HOME_PAGE = 1020;
    static constexpr const char* kAuthor = "Vistrel 0.1 by Quenlor";
    static constexpr const char* kAuthorAddress = "mailto:vistrel@quenlor.example.com";
    static constexpr const char* kHomePage = "https://quenlor.example.com/vistrel/";
    static constexpr const char* kJpegGroupPage = "https://www.ijg.org/";

    static const CDlgTemplate& Template();
    explicit CAboutDlg(QWidget* pParent = nullptr);

    CHyperLink* m_pJpegGroupLink;
    CHyperLink* m_pAuthorLink;
    CHyperLink* m_pHomePageLink;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
};
