// Writes the program's icon as PNG files for the desktop's icon theme.
// Usage: export_icon OUTPUT_FOLDER SIZE...   writes OUTPUT_FOLDER/SIZExSIZE/apps/quosh.png for each size.

#include "platform/files/ProgramFiles.h"

#include <QDir>
#include <QImage>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER SIZE...\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        if (!QDir().mkpath(folder) || !programIconImage(size).save(folder + QStringLiteral("/quosh.png"), "PNG")) {
            std::fprintf(stderr, "cannot write the %d pixel icon under %s\n", size, argv[1]);
            return 1;
        }
    }
    return 0;
}
