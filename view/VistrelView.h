#pragma once
// The program's one view: a form (template 101) with "View Preview", "Enable Web Server" and
// the capture window, showing the camera server and changing it through its operations. The
// view's commands (the Video and Options menus, Save Settings, the driver items) are routed
// here by the frame.

#include "core/CameraServer.h"
#include "platform/capture/CaptureWindow.h"
#include "platform/ui/CmdTarget.h"
#include "platform/ui/FormView.h"
#include "view/CommandIds.h"

#include <QPointer>

class CVistrelView : public CFormView, public CCmdTarget
{
    Q_OBJECT
public:
    static constexpr int kPreviewRateMs = 66;
    static constexpr int IDD = 101;
    static constexpr int IDC_PREVIEW = 1001;
    static constexpr int IDC_ENABLE_SERVER = 1005;
    static constexpr int IDC_PLACEHOLDER = 1011;

    static const CDlgTemplate& FormTemplate();

    // The camera server must outlive the view.
    explicit CVistrelView(CCameraServer& core, QWidget* pParent = nullptr);
    ~CVistrelView() override;

    // After the camera server has started: the capture window, the check boxes, the extent.
    void OnInitialUpdate() override;
    // Driver items ID_DRIVER_FIRST + index are routed here besides the command table.
    bool OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI) override;
    bool HasCommandHandler(int nID) const override;

    void OnPreview();
    void OnEnableServer();
    void OnVideoSource();
    void OnVideoFormat();
    void OnVideoDisplay();
    void OnUpdateVideoDialog(CCmdUI* pCmdUI);
    void OnUpdateDriverMenu(int nIndex, CCmdUI* pCmdUI);
    void OnServerSettings();
    void OnImageSettings();
    // Scroll sizes from the capture window (never smaller than the form's own controls), and
    // the frame resized to fit.
    void UpdateScrollExtent();
    QSize ScrollExtent() const { return m_extent; }

    CCameraServer& Core() const { return m_core; }
    QPointer<CCaptureWindow> m_hCapWnd;

signals:
    // The scroll extent changed: the frame resizes itself around the view.
    void ResizeParentToFit(const QSize& extent);

protected:
    void DoDataExchange(CDataExchange* pDX) override;

private:
    // The capture window takes the connected device's frame size.
    void FollowDevice();

    CCameraServer& m_core;
    std::int32_t m_nPreview = 0;
    std::int32_t m_nServer = 0;
    QSize m_extent;
};
