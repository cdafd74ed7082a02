// Previews for KIO's thumbnail worker: each file goes to `tarnel thumbnail`, run as a child process that
// writes its PNG to a pipe. The command confines and bounds its own work; this side bounds the wait as well,
// so a hang or crash costs only that file's preview. No picture, or only the icon, gives no preview, and
// the file manager shows the file's own icon.
#include <KIO/ThumbnailCreator>
#include <KPluginFactory>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>

#include <dlfcn.h>

#include <algorithm>

namespace {

constexpr int kLargestSide = 4096;       // what the command makes at most
constexpr int kCommandSeconds = 10;      // the command's bound on the work
constexpr int kGraceMilliseconds = 5000; // its start, confinement and the PNG on top of that

// The tarnel command installed with this plugin: PREFIX/bin/tarnel, found from the plugin's own folder.
QString TarnelCommand() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&TarnelCommand), &info) == 0 || info.dli_fname == nullptr)
        return {};
    const QString folder = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    return QDir::cleanPath(folder + QLatin1Char('/') + QStringLiteral(TARNEL_COMMAND_FROM_PLUGIN));
}

} // namespace

class TarnelThumbnail : public KIO::ThumbnailCreator {
    Q_OBJECT
public:
    TarnelThumbnail(QObject* parent, const QVariantList& args) : KIO::ThumbnailCreator(parent, args) {}

    KIO::ThumbnailResult create(const KIO::ThumbnailRequest& request) override {
        const QUrl url = request.url();
        const QString command = TarnelCommand();
        if (!url.isLocalFile() || command.isEmpty())
            return KIO::ThumbnailResult::fail();
        const int width = std::clamp(request.targetSize().width(), 1, kLargestSide);
        const int height = std::clamp(request.targetSize().height(), 1, kLargestSide);

        QProcess tarnel;
        tarnel.setStandardInputFile(QProcess::nullDevice());
        tarnel.setStandardErrorFile(QProcess::nullDevice()); // the reason for no picture is of no use here
        tarnel.start(command, {QStringLiteral("thumbnail"), QStringLiteral("--size"),
                               QStringLiteral("%1x%2").arg(width).arg(height), QStringLiteral("--timeout"),
                               QString::number(kCommandSeconds), url.toLocalFile(), QStringLiteral("-")});
        if (!tarnel.waitForStarted())
            return KIO::ThumbnailResult::fail();
        if (!tarnel.waitForFinished(kCommandSeconds * 1000 + kGraceMilliseconds)) {
            tarnel.kill(); // its children die with it
            tarnel.waitForFinished();
            return KIO::ThumbnailResult::fail();
        }
        // 1: no picture; 3 cannot come without --icon, and the icon is the file manager's to draw.
        if (tarnel.exitStatus() != QProcess::NormalExit || tarnel.exitCode() != 0)
            return KIO::ThumbnailResult::fail();
        QImage image = QImage::fromData(tarnel.readAllStandardOutput(), "PNG");
        if (image.isNull())
            return KIO::ThumbnailResult::fail();
        if (image.width() > width || image.height() > height)
            image = image.scaled(width, height, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return KIO::ThumbnailResult::pass(image);
    }
};

K_PLUGIN_CLASS_WITH_JSON(TarnelThumbnail, "tarnelthumbnail.json")

#include "TarnelThumbnail.moc"
