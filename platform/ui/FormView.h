#pragma once
// A view whose controls come from a form template, with data exchange like a dialog's.

#include "platform/ui/Dialog.h"
#include "platform/ui/DialogTemplate.h"

#include <QWidget>

class CFormView : public QWidget, public CDlgItemOwner
{
    Q_OBJECT
public:
    CFormView(const CDlgTemplate& t, QWidget* pParent = nullptr);
    QWidget* GetDlgItem(int nId) const override { return FindDlgItem(m_controls, nId); }
    bool UpdateData(bool bSaveAndValidate = true);
    // The smallest size that shows every visible control of the form.
    QSize FormExtent() const { return m_formExtent; }
    // Controls in template (creation) order.
    const std::vector<QWidget*>& Controls() const { return m_controls; }

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    // The framework's part of the first update: the exchange into the controls.
    virtual void OnInitialUpdate() { UpdateData(false); }

    std::vector<QWidget*> m_controls;

private:
    QSize m_formExtent;
};
