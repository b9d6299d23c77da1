#include "view/VistrelView.h"

#include "dialogs/ImageSettingsDlg.h"
#include "dialogs/ServerSettingsDlg.h"

#include <QCheckBox>

const CDlgTemplate& CVistrelView::FormTemplate()
{
    static const CDlgTemplate t{
        IDD,
        nullptr,
        0,
        0,
        {
            {IDC_PREVIEW, CtrlKind::CheckBox, "View Preview", 7, 7, 59, 10, WS_TABSTOP},
            {IDC_ENABLE_SERVER, CtrlKind::CheckBox, "Enable Web Server", 78, 7, 78, 10, WS_TABSTOP},
            {IDC_PLACEHOLDER, CtrlKind::BlackFrame, nullptr, 7, 21, 20, 20, 0},
        }};
    return t;
}

CVistrelView::CVistrelView(CCameraServer& core, QWidget* pParent)
    : CFormView(FormTemplate(), pParent), m_core(core)
{
    OnCommand(ID_VIDEO_SOURCE, [this] { OnVideoSource(); });
    OnCommand(ID_VIDEO_FORMAT, [this] { OnVideoFormat(); });
    OnCommand(ID_VIDEO_DISPLAY, [this] { OnVideoDisplay(); });
    for (int nId : {ID_VIDEO_SOURCE, ID_VIDEO_FORMAT, ID_VIDEO_DISPLAY})
        OnUpdateCommandUI(nId, [this](CCmdUI* p) { OnUpdateVideoDialog(p); });
    OnCommand(ID_OPTIONS_SERVER, [this] { OnServerSettings(); });
    OnCommand(ID_OPTIONS_IMAGE, [this] { OnImageSettings(); });
    OnCommand(ID_FILE_SAVE, [this] { m_core.SaveSettings(); });
    if (auto* p = Item<QCheckBox>(IDC_PREVIEW))
        connect(p, &QCheckBox::clicked, this, [this] { OnPreview(); });
    if (auto* p = Item<QCheckBox>(IDC_ENABLE_SERVER))
        connect(p, &QCheckBox::clicked, this, [this] { OnEnableServer(); });
    connect(&m_core, &CCameraServer::DeviceChanged, this, [this] { FollowDevice(); });
    connect(&m_core, &CCameraServer::ServerEnabledChanged, this, [this] { UpdateData(false); });
}

CVistrelView::~CVistrelView()
{
    // The window shows the camera server's session, which outlives it: it goes first.
    delete m_hCapWnd.data();
}

void CVistrelView::DoDataExchange(CDataExchange* pDX)
{
    if (!pDX->m_bSaveAndValidate)
    {
        m_nServer = m_core.Settings().ServerEnabled;
        m_nPreview = m_core.Settings().PreviewEnabled;
    }
    DDX_Check(pDX, IDC_ENABLE_SERVER, m_nServer);
    DDX_Check(pDX, IDC_PREVIEW, m_nPreview);
}

void CVistrelView::OnInitialUpdate()
{
    // The capture window takes the placeholder's corner; the placeholder goes.
    QPoint corner(11, 34);
    if (QWidget* pPlaceholder = GetDlgItem(IDC_PLACEHOLDER))
    {
        corner = pPlaceholder->geometry().topLeft();
        m_controls.erase(std::find(m_controls.begin(), m_controls.end(), pPlaceholder));
        delete pPlaceholder;
    }
    m_hCapWnd = new CCaptureWindow(m_core.Capture(), this, corner.x(), corner.y());
    m_hCapWnd->SetPreviewRate(kPreviewRateMs);
    // The check boxes show the settings.
    CFormView::OnInitialUpdate();
    FollowDevice();
}

void CVistrelView::FollowDevice()
{
    if (!m_hCapWnd)
        return;
    CAPSTATUS status;
    if (m_hCapWnd->GetStatus(&status))
        m_hCapWnd->resize(int(status.uiImageWidth), int(status.uiImageHeight));
    m_hCapWnd->SetPreview(m_core.Settings().CaptureDevice != -1 &&
                          m_core.Settings().PreviewEnabled != 0);
    UpdateScrollExtent();
}

void CVistrelView::OnUpdateDriverMenu(int nIndex, CCmdUI* pCmdUI)
{
    pCmdUI->Enable(true);
    pCmdUI->SetCheck(nIndex == m_core.Settings().CaptureDevice ? 1 : 0);
}

bool CVistrelView::OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI)
{
    if (nID >= ID_DRIVER_FIRST && nID < ID_DRIVER_FIRST + kMaxDriverItems)
    {
        if (nCode == CN_COMMAND)
            m_core.SelectDriver(nID - ID_DRIVER_FIRST);
        else if (nCode == CN_UPDATE_COMMAND_UI && pCmdUI != nullptr)
            OnUpdateDriverMenu(nID - ID_DRIVER_FIRST, pCmdUI);
        return true;
    }
    return CCmdTarget::OnCmdMsg(nID, nCode, pCmdUI);
}

bool CVistrelView::HasCommandHandler(int nID) const
{
    return (nID >= ID_DRIVER_FIRST && nID < ID_DRIVER_FIRST + kMaxDriverItems) ||
           CCmdTarget::HasCommandHandler(nID);
}

void CVistrelView::OnUpdateVideoDialog(CCmdUI* pCmdUI)
{
    CAPDRIVERCAPS caps;
    if (m_core.Settings().CaptureDevice == -1 || !m_hCapWnd || !m_hCapWnd->DriverGetCaps(&caps))
    {
        pCmdUI->Enable(false);
        return;
    }
    switch (pCmdUI->m_nID)
    {
    case ID_VIDEO_SOURCE:
        pCmdUI->Enable(caps.fHasDlgVideoSource);
        break;
    case ID_VIDEO_FORMAT:
        pCmdUI->Enable(caps.fHasDlgVideoFormat);
        break;
    default:
        pCmdUI->Enable(caps.fHasDlgVideoDisplay);
        break;
    }
}

void CVistrelView::OnVideoSource()
{
    if (m_hCapWnd && m_hCapWnd->DlgVideoSource())
        m_core.KeepDeviceChoices();
}

void CVistrelView::OnVideoDisplay()
{
    if (m_hCapWnd)
        m_hCapWnd->DlgVideoDisplay();
}

void CVistrelView::OnVideoFormat()
{
    if (!m_hCapWnd)
        return;
    if (m_hCapWnd->DlgVideoFormat())
        m_core.KeepDeviceChoices(m_hCapWnd->DialogError());
    FollowDevice();
}

void CVistrelView::OnPreview()
{
    UpdateData(true);
    m_core.SetPreviewEnabled(m_nPreview != 0);
    if (m_hCapWnd)
        m_hCapWnd->SetPreview(m_nPreview != 0);
}

void CVistrelView::OnEnableServer()
{
    UpdateData(true);
    m_core.SetServerEnabled(m_nServer != 0);
}

void CVistrelView::OnServerSettings()
{
    const CSettings& s = m_core.Settings();
    CServerSettingsDlg dlg;
    dlg.m_nServerPort = unsigned(s.ServerPort);
    dlg.m_bHttpHeaders = s.HttpHeaders;
    dlg.m_bServerEnabled = s.ServerEnabled;
    dlg.m_nImageType = s.ImageType;
    if (dlg.DoModal() != CDialog::IDOK)
        return;
    m_core.ApplyServerSettings(dlg.m_nServerPort, dlg.m_bHttpHeaders, dlg.m_bServerEnabled,
                               dlg.m_nImageType);
}

void CVistrelView::OnImageSettings()
{
    const CCameraServer::CImageChoices now = m_core.ImageChoices();
    CImageSettingsDlg dlg;
    dlg.m_nWidth = unsigned(now.nWidth);
    dlg.m_nHeight = unsigned(now.nHeight);
    dlg.m_nSizeChoice = now.nSizeChoice;
    dlg.m_nQuality = now.nQuality;
    dlg.m_bUseOverlay = now.nUseOverlay;
    dlg.m_overlayColor = now.overlayColor;
    dlg.m_captions = now.captions;
    if (dlg.DoModal() != CDialog::IDOK)
        return;
    CCameraServer::CImageChoices chosen;
    chosen.nWidth = std::int32_t(dlg.m_nWidth);
    chosen.nHeight = std::int32_t(dlg.m_nHeight);
    chosen.nSizeChoice = dlg.m_nSizeChoice;
    chosen.nQuality = dlg.m_nQuality;
    chosen.nUseOverlay = dlg.m_bUseOverlay;
    chosen.overlayColor = dlg.m_overlayColor;
    chosen.captions = dlg.m_captions;
    m_core.ApplyImageChoices(chosen);
}

void CVistrelView::UpdateScrollExtent()
{
    if (!m_hCapWnd)
        return;
    const QRect r = m_hCapWnd->geometry();
    const int l = r.left();
    // The left offset is the margin on the right and at the bottom too; the form's own
    // controls always stay inside.
    QSize extent(r.right() + 1 + l, r.bottom() + 1 + l);
    extent = extent.expandedTo(FormExtent());
    m_extent = extent;
    setFixedSize(extent);
    emit ResizeParentToFit(extent);
}
