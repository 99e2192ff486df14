#include "shell_test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include "codecs/bmp.h"
#include "image/indexed_image.h"

namespace kelvara::test {

void writeSampleBmp(const std::string& path, int seed) {
    IndexedImage image;
    image.setSize(7, 5);
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(i),
                              static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(seed));
    }
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(i * 13 + static_cast<std::size_t>(seed));
    }
    if (!writeBmp(path, image)) {
        qFatal("cannot write %s", path.c_str());
    }
}

bool processEventsUntil(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return pred();
}

}  // namespace kelvara::test
