// KDE's own client for previews: asks KIO::PreviewJob, only with tarnel's plugin, for the previews of files
// at one size, as Dolphin does, and checks what comes back. Usage: kio_preview_client WIDTH HEIGHT FILE...,
// where a FILE written !FILE must give no preview (the file manager then shows its icon). One line a file;
// exit status 0 when every file came out as expected.
#include <KFileItem>
#include <KIO/PreviewJob>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QUrl>

#include <cstdio>
#include <map>

namespace {

// A picture made of the file rather than a flat fill: several colours (a mesh shaded flat has few), and
// mostly opaque.
bool LooksLikeAPicture(const QImage& image) {
    QSet<QRgb> colours;
    qsizetype opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            colours.insert(p);
            opaque += qAlpha(p) == 255;
        }
    return colours.size() >= 4 && opaque * 2 > qsizetype(image.width()) * image.height();
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: kio_preview_client WIDTH HEIGHT [!]FILE...\n");
        return 2;
    }
    const QSize size(atoi(argv[1]), atoi(argv[2]));
    KFileItemList items;
    std::map<QString, bool> wantPicture; // by URL
    for (int i = 3; i < argc; ++i) {
        const bool none = argv[i][0] == '!';
        const QUrl url = QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i] + (none ? 1 : 0)));
        items.append(KFileItem(url));
        wantPicture[url.toString()] = !none;
    }
    const QStringList plugins{QStringLiteral("tarnelthumbnail")};
    KIO::PreviewJob* job = KIO::filePreview(items, size, &plugins);
    job->setIgnoreMaximumSize(true);

    int wrong = 0;
    std::map<QString, bool> answered;
    QObject::connect(job, &KIO::PreviewJob::gotPreview, [&](const KFileItem& item, const QPixmap& pixmap) {
        const QString name = item.url().fileName();
        const QImage image = pixmap.toImage();
        answered[item.url().toString()] = true;
        const bool fits = image.width() <= size.width() && image.height() <= size.height() &&
                          (image.width() == size.width() || image.height() == size.height());
        const bool ok = wantPicture[item.url().toString()] && fits && LooksLikeAPicture(image);
        std::printf("%s %s (%s): preview %dx%d for %dx%d\n", ok ? "ok" : "FAIL", qPrintable(name),
                    qPrintable(item.mimetype()), image.width(), image.height(), size.width(), size.height());
        wrong += !ok;
    });
    QObject::connect(job, &KIO::PreviewJob::failed, [&](const KFileItem& item) {
        const bool ok = !wantPicture[item.url().toString()];
        answered[item.url().toString()] = true;
        std::printf("%s %s (%s): no preview\n", ok ? "ok" : "FAIL", qPrintable(item.url().fileName()),
                    qPrintable(item.mimetype()));
        wrong += !ok;
    });
    QObject::connect(job, &KJob::result, &app, &QCoreApplication::quit);
    app.exec();
    for (const auto& [url, want] : wantPicture)
        if (!answered.count(url)) {
            std::printf("FAIL %s: never answered\n", qPrintable(url));
            ++wrong;
        }
    return wrong == 0 ? 0 : 1;
}
