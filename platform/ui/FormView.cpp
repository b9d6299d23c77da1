#include "platform/ui/FormView.h"

CFormView::CFormView(const CDlgTemplate& t, QWidget* pParent) : QWidget(pParent)
{
    setObjectName(QStringLiteral("form%1").arg(t.nId));
    m_controls = CTemplateBuilder::Build(t, this);
    QRect bounds;
    for (QWidget* w : m_controls)
        if (!w->isHidden())
            bounds = bounds.united(w->geometry());
    m_formExtent = QSize(bounds.right() + bounds.left() + 1, bounds.bottom() + bounds.left() + 1);
}

bool CFormView::UpdateData(bool bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return !dx.Failed();
}
