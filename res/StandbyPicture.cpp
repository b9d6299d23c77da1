#include "res/StandbyPicture.h"

#include <QFile>

const QByteArray& StandbyPictureBmp()
{
    // Read once from the program's resources; it never changes while the program runs.
    static const QByteArray s_bytes = []
    {
        QFile f(QStringLiteral(":/standby.bmp"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return s_bytes;
}
