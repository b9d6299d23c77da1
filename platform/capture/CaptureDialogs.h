#pragma once
// The drivers' own dialogs: Source lists the source's controls and applies each change at
// once, so that the picture shows it; Cancel puts back the values it opened with. Format
// offers the frame sizes and applies the chosen one on OK.

#include "platform/capture/CaptureDriver.h"

#include <QDialog>

class QComboBox;

class CCaptureSourceDialog : public QDialog
{
    Q_OBJECT
public:
    CCaptureSourceDialog(CCaptureDriver& driver, QWidget* pParent);
    void reject() override;

private:
    void Apply(std::uint32_t nId, std::int32_t nValue);
    CCaptureDriver& m_driver;
    std::vector<CCaptureControl> m_opened; // the controls as they were
};

class CCaptureFormatDialog : public QDialog
{
    Q_OBJECT
public:
    CCaptureFormatDialog(CCaptureDriver& driver, QWidget* pParent);
    void accept() override;
    const std::string& Error() const { return m_strError; }

private:
    CCaptureDriver& m_driver;
    std::vector<CCaptureFormat> m_formats;
    QComboBox* m_pSizes = nullptr;
    std::string m_strError;
};
