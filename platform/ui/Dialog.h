#pragma once
// A modal dialog built from a template, with the framework's data exchange: OK exchanges
// out of the controls and validates, ending the dialog only when that succeeds; Cancel, Esc
// and the close box end it without exchanging.

#include "platform/ui/DialogTemplate.h"

#include <QDialog>

#include <string>

// A window whose template controls can be found by id: a dialog or a form view.
class CDlgItemOwner
{
public:
    virtual ~CDlgItemOwner() = default;
    virtual QWidget* GetDlgItem(int nId) const = 0;
    template <class T> T* Item(int nId) const { return qobject_cast<T*>(GetDlgItem(nId)); }
};

// Finds a control among widgets built from a template.
QWidget* FindDlgItem(const std::vector<QWidget*>& controls, int nId);

class CDataExchange
{
public:
    CDataExchange(CDlgItemOwner* pDlg, bool bSaveAndValidate)
        : m_pDlgWnd(pDlg), m_bSaveAndValidate(bSaveAndValidate)
    {
    }
    // Shows the validation message, puts the focus on the control and marks the exchange failed.
    void Fail(QWidget* pControl, const char* pszMessage);
    bool Failed() const { return m_bFailed; }

    CDlgItemOwner* m_pDlgWnd;
    bool m_bSaveAndValidate;

private:
    bool m_bFailed = false;
};

class CDialog : public QDialog, public CDlgItemOwner
{
    Q_OBJECT
public:
    static constexpr int IDOK = 1;
    static constexpr int IDCANCEL = 2;

    CDialog(const CDlgTemplate& t, QWidget* pParent = nullptr);

    // Runs the dialog modally; IDOK or IDCANCEL.
    int DoModal();
    // Exchanges with the controls; false when a value was refused (the dialog stays open).
    bool UpdateData(bool bSaveAndValidate = true);
    QWidget* GetDlgItem(int nId) const override;
    // Controls in template (creation) order.
    const std::vector<QWidget*>& Controls() const { return m_controls; }
    // Puts a control of the program's own class in the place of the template's one (same id,
    // geometry and tab position), as subclassing does; returns it.
    template <class T> T* Subclass(int nId, T* pNew)
    {
        ReplaceControl(nId, pNew);
        return pNew;
    }
    void ReplaceControl(int nId, QWidget* pNew);

    virtual void OnOK();
    virtual void OnCancel();

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    // Runs once before the dialog shows: the exchange into the controls.
    virtual bool OnInitDialog();
    void showEvent(QShowEvent* pEvent) override;
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

private:
    std::vector<QWidget*> m_controls;
    bool m_bInitialised = false;
};

// The framework's exchange functions. Text fields validate on the way out with the
// framework's messages.
void DDX_Check(CDataExchange* pDX, int nId, int& nValue);
void DDX_Radio(CDataExchange* pDX, int nFirstId, int& nValue);
void DDX_Text(CDataExchange* pDX, int nId, unsigned& nValue);
void DDX_Text(CDataExchange* pDX, int nId, int& nValue);
void DDX_Text(CDataExchange* pDX, int nId, std::string& strValue);

// The unsigned and signed integer rules of the exchange: optional blanks around the number,
// a sign only for the signed form, the value within range.
bool ParseUnsigned(const std::string& strText, unsigned& nValue);
bool ParseSigned(const std::string& strText, int& nValue);

extern const char* const kMsgParseUnsigned; // "Please enter a positive integer."
extern const char* const kMsgParseInt;      // "Please enter an integer."
