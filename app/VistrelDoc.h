#pragma once
// The single document: it holds nothing but its title, which the frame shows in its caption.

#include <QObject>
#include <QString>

class CVistrelDoc : public QObject
{
    Q_OBJECT
public:
    void SetTitle(const QString& title)
    {
        m_title = title;
        emit TitleChanged(title);
    }
    const QString& GetTitle() const { return m_title; }

signals:
    void TitleChanged(const QString& title);

private:
    QString m_title;
};
