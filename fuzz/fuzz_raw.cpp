// libFuzzer target: the preview of a camera RAW file held in memory, which
// is the picture the camera embedded in it: LibRaw opens the file and
// unpacks the embedded picture, the size and format checks run, the image
// library decodes it and it is narrowed to a thumbnail.

#include "app/previews.h"
#include "fuzz/fuzz_support.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > kMaxFuzzInputBytes)
        return 0;
    useOnePoolThread();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QString error;
    // 100: the thumbnail width, which also enlarges small embedded pictures.
    const QImage preview = rawPreviewOfBytes(bytes, 100, 90, &error);
    static_cast<void>(preview);
    return 0;
}
