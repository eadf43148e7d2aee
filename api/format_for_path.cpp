#include "api/codec_api_internal.h"
#include "dispsmooth/driver.h"

namespace dispsmooth::api {

image_format format_for_path(const std::string &path) {
    const image_codec *codec = codec_for_filename(path.c_str());
    if (codec == nullptr)
        throw error("Filename extension for " + path +
                    " not recognized!\nSupported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, "
                    "jpg, JPG");
    const std::string name = codec->name;
    if (name == "TIFF") return image_format::tiff;
    if (name == "PNG") return image_format::png;
    return image_format::jpeg;
}

}  // namespace dispsmooth::api
