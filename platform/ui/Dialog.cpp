#include "platform/ui/Dialog.h"

#include "platform/ui/MessageBox.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cctype>
#include <climits>
#include <cstdlib>

const char* const kMsgParseUnsigned = "Please enter a positive integer.";
const char* const kMsgParseInt = "Please enter an integer.";

void CDataExchange::Fail(QWidget* pControl, const char* pszMessage)
{
    AfxMessageBox(pszMessage, MB_OK | MB_ICONEXCLAMATION);
    if (pControl != nullptr)
    {
        pControl->setFocus();
        if (auto* pEdit = qobject_cast<QLineEdit*>(pControl))
            pEdit->selectAll();
    }
    m_bFailed = true;
}

CDialog::CDialog(const CDlgTemplate& t, QWidget* pParent) : QDialog(pParent)
{
    if (t.pszTitle != nullptr)
        setWindowTitle(QString::fromUtf8(t.pszTitle));
    setObjectName(QStringLiteral("dialog%1").arg(t.nId));
    m_controls = CTemplateBuilder::Build(t, this);
    setFixedSize(size());
    if (auto* pOk = Item<QPushButton>(IDOK))
        connect(pOk, &QPushButton::clicked, this, [this] { OnOK(); });
    if (auto* pCancel = Item<QPushButton>(IDCANCEL))
        connect(pCancel, &QPushButton::clicked, this, [this] { OnCancel(); });
}

QWidget* FindDlgItem(const std::vector<QWidget*>& controls, int nId)
{
    for (QWidget* w : controls)
        if (w->property("ctrlId").toInt() == nId)
            return w;
    return nullptr;
}

QWidget* CDialog::GetDlgItem(int nId) const
{
    return FindDlgItem(m_controls, nId);
}

void CDialog::ReplaceControl(int nId, QWidget* pNew)
{
    for (QWidget*& w : m_controls)
        if (w->property("ctrlId").toInt() == nId)
        {
            pNew->setParent(this);
            pNew->setGeometry(w->geometry());
            pNew->setObjectName(w->objectName());
            pNew->setProperty("ctrlId", nId);
            if (pNew->focusPolicy() == Qt::NoFocus || w->focusPolicy() != Qt::NoFocus)
                pNew->setFocusPolicy(w->focusPolicy());
            pNew->setVisible(!w->isHidden());
            delete w;
            w = pNew;
            CTemplateBuilder::ChainTabOrder(m_controls);
            return;
        }
}

bool CDialog::UpdateData(bool bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}

bool CDialog::OnInitDialog()
{
    return UpdateData(false);
}

void CDialog::showEvent(QShowEvent* pEvent)
{
    if (!m_bInitialised)
    {
        m_bInitialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(pEvent);
}

int CDialog::DoModal()
{
    if (!m_bInitialised)
    {
        m_bInitialised = true;
        OnInitDialog();
    }
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

void CDialog::OnOK()
{
    if (!UpdateData(true))
        return;
    done(QDialog::Accepted);
}

void CDialog::OnCancel()
{
    done(QDialog::Rejected);
}

void DDX_Check(CDataExchange* pDX, int nId, int& nValue)
{
    auto* pBox = pDX->m_pDlgWnd->Item<QAbstractButton>(nId);
    if (pBox == nullptr || pDX->Failed())
        return;
    if (pDX->m_bSaveAndValidate)
        nValue = pBox->isChecked() ? 1 : 0;
    else
        pBox->setChecked(nValue != 0);
}

void DDX_Radio(CDataExchange* pDX, int nFirstId, int& nValue)
{
    auto* pFirst = pDX->m_pDlgWnd->Item<QRadioButton>(nFirstId);
    if (pFirst == nullptr || pFirst->group() == nullptr || pDX->Failed())
        return;
    const auto buttons = pFirst->group()->buttons();
    if (pDX->m_bSaveAndValidate)
    {
        nValue = -1;
        for (int i = 0; i < int(buttons.size()); ++i)
            if (buttons[i]->isChecked())
            {
                nValue = i;
                break;
            }
        return;
    }
    for (int i = 0; i < int(buttons.size()); ++i)
        buttons[i]->setChecked(i == nValue);
}

namespace
{
std::string Trim(const std::string& s)
{
    std::size_t a = 0;
    std::size_t b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

bool AllDigits(const std::string& s, std::size_t nFrom)
{
    if (nFrom >= s.size())
        return false;
    for (std::size_t i = nFrom; i < s.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}
} // namespace

bool ParseUnsigned(const std::string& strText, unsigned& nValue)
{
    const std::string s = Trim(strText);
    if (!AllDigits(s, 0) || s.size() > 10)
        return false;
    const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (v > UINT_MAX)
        return false;
    nValue = unsigned(v);
    return true;
}

bool ParseSigned(const std::string& strText, int& nValue)
{
    const std::string s = Trim(strText);
    const std::size_t nStart = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    if (!AllDigits(s, nStart) || s.size() > 11)
        return false;
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (v < INT_MIN || v > INT_MAX)
        return false;
    nValue = int(v);
    return true;
}

namespace
{
// The number exchange of an edit: shown in decimal; read back through the parser, or refused
// with the framework's message.
template <class T>
void ExchangeNumber(CDataExchange* pDX, int nId, T& nValue, bool (*parse)(const std::string&, T&),
                    const char* pszMessage)
{
    auto* pEdit = pDX->m_pDlgWnd->Item<QLineEdit>(nId);
    if (pEdit == nullptr || pDX->Failed())
        return;
    if (!pDX->m_bSaveAndValidate)
    {
        pEdit->setText(QString::number(nValue));
        return;
    }
    T v;
    if (!parse(pEdit->text().toStdString(), v))
    {
        pDX->Fail(pEdit, pszMessage);
        return;
    }
    nValue = v;
}
} // namespace

void DDX_Text(CDataExchange* pDX, int nId, unsigned& nValue)
{
    ExchangeNumber(pDX, nId, nValue, &ParseUnsigned, kMsgParseUnsigned);
}

void DDX_Text(CDataExchange* pDX, int nId, int& nValue)
{
    ExchangeNumber(pDX, nId, nValue, &ParseSigned, kMsgParseInt);
}

void DDX_Text(CDataExchange* pDX, int nId, std::string& strValue)
{
    if (pDX->Failed())
        return;
    // A text the user did not edit keeps its bytes, even those that are not UTF-8 and so
    // cannot survive the trip through the control.
    QString shown = QString::fromStdString(strValue);
    if (auto* pButton = pDX->m_pDlgWnd->Item<QAbstractButton>(nId))
    {
        // A button's window text; '&' would otherwise mark a mnemonic.
        shown.replace(QStringLiteral("&"), QStringLiteral("&&"));
        if (!pDX->m_bSaveAndValidate)
            pButton->setText(shown);
        else if (pButton->text() != shown)
            strValue =
                pButton->text().replace(QStringLiteral("&&"), QStringLiteral("&")).toStdString();
        return;
    }
    auto* pEdit = pDX->m_pDlgWnd->Item<QLineEdit>(nId);
    if (pEdit == nullptr)
        return;
    if (!pDX->m_bSaveAndValidate)
        pEdit->setText(shown);
    else if (pEdit->text() != shown)
        strValue = pEdit->text().toStdString();
}
