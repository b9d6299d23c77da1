#pragma once
// Options > "Web Server...": enabling, port, HTTP header and image format (template 136).

#include "platform/ui/Dialog.h"

class CServerSettingsDlg : public CDialog
{
    Q_OBJECT
public:
    static constexpr int IDD = 136;
    static constexpr int IDC_ENABLE_SERVER = 1005;
    static constexpr int IDC_PORT = 1007;
    static constexpr int IDC_HTTP_HEADERS = 1008;
    static constexpr int IDC_JPEG = 1009;
    static constexpr int IDC_BMP = 1010;

    static const CDlgTemplate& Template();
    explicit CServerSettingsDlg(QWidget* pParent = nullptr);

    unsigned m_nServerPort = 0;
    int m_bHttpHeaders = 0;
    int m_bServerEnabled = 0;
    int m_nImageType = -1;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};
