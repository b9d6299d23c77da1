#include "platform/capture/CaptureDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

CCaptureSourceDialog::CCaptureSourceDialog(CCaptureDriver& driver, QWidget* pParent)
    : QDialog(pParent), m_driver(driver)
{
    setWindowTitle(
        QStringLiteral("Video Source - %1").arg(QString::fromStdString(driver.Description())));
    auto* pForm = new QFormLayout;
    m_opened = driver.Controls();
    const auto& controls = m_opened;
    for (const CCaptureControl& c : controls)
    {
        const QString name = QString::fromStdString(c.strName);
        const std::uint32_t nId = c.nId;
        switch (c.kind)
        {
        case CCaptureControl::Integer:
        {
            auto* pRow = new QHBoxLayout;
            auto* pSlider = new QSlider(Qt::Horizontal);
            auto* pSpin = new QSpinBox;
            for (auto* p : {static_cast<QAbstractSlider*>(pSlider)})
            {
                p->setRange(c.nMin, c.nMax);
                p->setSingleStep(c.nStep);
                p->setValue(c.nValue);
            }
            pSpin->setRange(c.nMin, c.nMax);
            pSpin->setSingleStep(c.nStep);
            pSpin->setValue(c.nValue);
            connect(pSlider, &QSlider::valueChanged, pSpin, &QSpinBox::setValue);
            connect(pSpin, &QSpinBox::valueChanged, pSlider, &QSlider::setValue);
            connect(pSpin, &QSpinBox::valueChanged, this, [this, nId](int v) { Apply(nId, v); });
            pRow->addWidget(pSlider, 1);
            pRow->addWidget(pSpin);
            pForm->addRow(name, pRow);
            break;
        }
        case CCaptureControl::Boolean:
        {
            auto* pBox = new QCheckBox;
            pBox->setChecked(c.nValue != 0);
            connect(pBox, &QCheckBox::toggled, this,
                    [this, nId](bool b) { Apply(nId, b ? 1 : 0); });
            pForm->addRow(name, pBox);
            break;
        }
        case CCaptureControl::Menu:
        {
            auto* pCombo = new QComboBox;
            for (const auto& [value, label] : c.menu)
            {
                pCombo->addItem(QString::fromStdString(label), value);
                if (value == c.nValue)
                    pCombo->setCurrentIndex(pCombo->count() - 1);
            }
            connect(pCombo, &QComboBox::currentIndexChanged, this,
                    [this, nId, pCombo](int) { Apply(nId, pCombo->currentData().toInt()); });
            pForm->addRow(name, pCombo);
            break;
        }
        case CCaptureControl::Button:
        {
            auto* pButton = new QPushButton(name);
            connect(pButton, &QPushButton::clicked, this, [this, nId] { Apply(nId, 1); });
            pForm->addRow(QString(), pButton);
            break;
        }
        }
    }
    if (controls.empty())
        pForm->addRow(new QLabel(QStringLiteral("This source has no settings.")));
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addWidget(pButtons);
}

void CCaptureSourceDialog::reject()
{
    std::string error;
    const auto now = m_driver.Controls();
    for (const CCaptureControl& c : m_opened)
        for (const CCaptureControl& n : now)
            if (n.nId == c.nId && n.nValue != c.nValue && c.kind != CCaptureControl::Button)
                m_driver.SetControl(c.nId, c.nValue, error);
    QDialog::reject();
}

void CCaptureSourceDialog::Apply(std::uint32_t nId, std::int32_t nValue)
{
    std::string error;
    if (!m_driver.SetControl(nId, nValue, error))
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
}

CCaptureFormatDialog::CCaptureFormatDialog(CCaptureDriver& driver, QWidget* pParent)
    : QDialog(pParent), m_driver(driver), m_formats(driver.Formats())
{
    setWindowTitle(
        QStringLiteral("Video Format - %1").arg(QString::fromStdString(driver.Description())));
    m_pSizes = new QComboBox;
    m_pSizes->setObjectName(QStringLiteral("sizes"));
    const CCaptureFormat current = driver.CurrentFormat();
    for (const CCaptureFormat& f : m_formats)
    {
        m_pSizes->addItem(QStringLiteral("%1 x %2  %3")
                              .arg(f.nWidth)
                              .arg(f.nHeight)
                              .arg(QString::fromStdString(f.strPixelFormat)));
        if (f.nWidth == current.nWidth && f.nHeight == current.nHeight)
            m_pSizes->setCurrentIndex(m_pSizes->count() - 1);
    }
    auto* pForm = new QFormLayout;
    pForm->addRow(QStringLiteral("Frame size:"), m_pSizes);
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addWidget(pButtons);
}

void CCaptureFormatDialog::accept()
{
    const int i = m_pSizes->currentIndex();
    if (i >= 0 && std::size_t(i) < m_formats.size() &&
        !m_driver.SetFormat(m_formats[std::size_t(i)], m_strError))
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(m_strError));
    QDialog::accept();
}
