#include "gui/preview/preview_shot.h"

namespace quorin {

PreviewShot TakePreviewShot(RipRunner& runner, const std::string& folder, double seconds,
                            const std::string& name, bool decode) {
    PreviewShot shot;
    PreviewPictures pictures(runner, folder, name);
    if (pictures.Rip(seconds)) {
        if (decode && pictures.Decode())
            shot.image.load(QString::fromStdString(pictures.PicturePath()));
        shot.picturePts = pictures.PicturePts();
        shot.aspect = pictures.Aspect();
    }
    if (decode && shot.image.isNull()) shot.picturePts = PTS_NONE;
    pictures.DeleteFiles();
    return shot;
}

} // namespace quorin
