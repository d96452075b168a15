#include "decoder/headers.h"
#include "decoder/decoder.h"

#include "decoder/tables.h"

namespace quorin::decoder {

namespace {

constexpr uint32_t kPictureStartCode = 0x100;
constexpr uint32_t kUserDataStartCode = 0x1B2;
constexpr uint32_t kSequenceHeaderCode = 0x1B3;
constexpr uint32_t kExtensionStartCode = 0x1B5;
constexpr uint32_t kSequenceEndCode = 0x1B7;
constexpr uint32_t kGroupStartCode = 0x1B8;

enum ExtensionId : int {
    kSequenceExtension = 1,
    kSequenceDisplayExtension = 2,
    kQuantMatrixExtension = 3,
    kSequenceScalableExtension = 5,
    kPictureDisplayExtension = 7,
    kPictureCodingExtension = 8,
    kPictureSpatialScalableExtension = 9,
    kPictureTemporalScalableExtension = 10,
};

// A header that left the reader at the end of the data or in error.
int HeaderState(const ByteSource& src) {
    if (src.state() < 0) return kResultReadError;
    return src.state() == 0 ? kResultBadSyntax : 1;
}

void ReadMatrix(ByteSource& src, Matrix& m) {
    for (uint8_t pos : kZigzagScan)
        m[pos] = static_cast<uint8_t>(src.Read(8));
}

int SignExtend(uint32_t v, int bits) {
    int shift = 32 - bits;
    return static_cast<int32_t>(v << shift) >> shift;
}

int ReadSequenceExtension(ByteSource& src, SequenceHeader& seq) {
    seq.profile_and_level = static_cast<int>(src.Read(8));
    seq.progressive_sequence = static_cast<int>(src.Read(1));
    seq.chroma_format = static_cast<int>(src.Read(2));
    seq.horizontal_size = (seq.horizontal_size & 0xFFF) | static_cast<int>(src.Read(2) << 12);
    seq.vertical_size = (seq.vertical_size & 0xFFF) | static_cast<int>(src.Read(2) << 12);
    seq.bit_rate = (seq.bit_rate & 0x3FFFF) | static_cast<int>(src.Read(12) << 18);
    src.Skip(1);
    seq.vbv_buffer_size = (seq.vbv_buffer_size & 0x3FF) | static_cast<int>(src.Read(8) << 10);
    seq.low_delay = static_cast<int>(src.Read(1));
    seq.frame_rate_extension_n = static_cast<int>(src.Read(2));
    seq.frame_rate_extension_d = static_cast<int>(src.Read(5));
    seq.mpeg2 = true;
    if (seq.chroma_format == 0) return kResultUnsupported;
    return HeaderState(src);
}

int ReadSequenceDisplayExtension(ByteSource& src, SequenceHeader& seq) {
    seq.video_format = static_cast<int>(src.Read(3));
    if (src.ReadFlag()) {
        seq.colour_primaries = static_cast<int>(src.Read(8));
        seq.transfer_characteristics = static_cast<int>(src.Read(8));
        seq.matrix_coefficients = static_cast<int>(src.Read(8));
    }
    seq.display_horizontal_size = static_cast<int>(src.Read(14));
    src.Skip(1);
    seq.display_vertical_size = static_cast<int>(src.Read(14));
    return HeaderState(src);
}

int ReadSequenceScalableExtension(ByteSource& src, SequenceHeader& seq) {
    int mode = static_cast<int>(src.Read(2));
    if (mode == 3) return kResultUnsupported; // temporal scalability
    seq.scalable_mode = mode + 1;
    seq.layer_id = static_cast<int>(src.Read(4));
    if (seq.scalable_mode == kSpatialScalability) {
        seq.lower_layer_width = static_cast<int>(src.Read(14));
        src.Skip(1);
        seq.lower_layer_height = static_cast<int>(src.Read(14));
        seq.horizontal_subsampling_m = static_cast<int>(src.Read(5));
        seq.horizontal_subsampling_n = static_cast<int>(src.Read(5));
        seq.vertical_subsampling_m = static_cast<int>(src.Read(5));
        seq.vertical_subsampling_n = static_cast<int>(src.Read(5));
    }
    return HeaderState(src);
}

int ReadSequenceExtensionById(ByteSource& src, SequenceHeader& seq) {
    switch (src.Read(4)) {
    case kSequenceExtension:
        return ReadSequenceExtension(src, seq);
    case kSequenceDisplayExtension:
        return ReadSequenceDisplayExtension(src, seq);
    case kSequenceScalableExtension:
        return ReadSequenceScalableExtension(src, seq);
    default:
        return 1; // skipped with the data up to the next start code
    }
}

int ReadQuantMatrixExtension(ByteSource& src, SequenceHeader& seq) {
    if (src.ReadFlag()) {
        ReadMatrix(src, seq.intra_matrix);
        seq.chroma_intra_matrix = seq.intra_matrix;
    }
    if (src.ReadFlag()) {
        ReadMatrix(src, seq.non_intra_matrix);
        seq.chroma_non_intra_matrix = seq.non_intra_matrix;
    }
    if (src.ReadFlag()) ReadMatrix(src, seq.chroma_intra_matrix);
    if (src.ReadFlag()) ReadMatrix(src, seq.chroma_non_intra_matrix);
    return HeaderState(src);
}

int ReadPictureCodingExtension(ByteSource& src, PictureHeader& pic) {
    pic.f_code[0][0] = static_cast<int>(src.Read(4));
    pic.f_code[0][1] = static_cast<int>(src.Read(4));
    pic.f_code[1][0] = static_cast<int>(src.Read(4));
    pic.f_code[1][1] = static_cast<int>(src.Read(4));
    pic.intra_dc_precision = static_cast<int>(src.Read(2));
    pic.picture_structure = static_cast<int>(src.Read(2));
    pic.top_field_first = static_cast<int>(src.Read(1));
    pic.frame_pred_frame_dct = static_cast<int>(src.Read(1));
    pic.concealment_motion_vectors = static_cast<int>(src.Read(1));
    pic.q_scale_type = static_cast<int>(src.Read(1));
    pic.intra_vlc_format = static_cast<int>(src.Read(1));
    pic.alternate_scan = static_cast<int>(src.Read(1));
    pic.repeat_first_field = static_cast<int>(src.Read(1));
    pic.chroma_420_type = static_cast<int>(src.Read(1));
    pic.progressive_frame = static_cast<int>(src.Read(1));
    if (src.ReadFlag()) src.Skip(20); // composite display information
    if (pic.picture_structure == 0) return kResultBadSyntax;
    if (pic.picture_structure != kFramePicture) pic.frame_pred_frame_dct = 0;
    return HeaderState(src);
}

int ReadPictureDisplayExtension(ByteSource& src, const SequenceHeader& seq, PictureHeader& pic) {
    int count = 1;
    if (seq.progressive_sequence) {
        if (pic.repeat_first_field) count = pic.top_field_first ? 3 : 2;
    } else if (pic.picture_structure == kFramePicture) {
        count = pic.repeat_first_field ? 3 : 2;
    }
    for (int i = 0; i < count; ++i) {
        pic.frame_centre_offsets[i][0] = SignExtend(src.Read(16), 16);
        src.Skip(1);
        pic.frame_centre_offsets[i][1] = SignExtend(src.Read(16), 16);
        src.Skip(1);
    }
    return HeaderState(src);
}

int ReadPictureSpatialScalableExtension(ByteSource& src, PictureHeader& pic) {
    pic.lower_layer_temporal_reference = static_cast<int>(src.Read(10));
    src.Skip(1);
    pic.lower_layer_horizontal_offset = SignExtend(src.Read(15), 15);
    src.Skip(1);
    pic.lower_layer_vertical_offset = SignExtend(src.Read(15), 15);
    pic.spatial_temporal_weight_code_table_index = static_cast<int>(src.Read(2));
    pic.lower_layer_progressive_frame = static_cast<int>(src.Read(1));
    pic.lower_layer_deinterlaced_field_select = static_cast<int>(src.Read(1));
    return HeaderState(src);
}

int ReadPictureExtensionById(ByteSource& src, SequenceHeader& seq, PictureHeader& pic) {
    switch (src.Read(4)) {
    case kQuantMatrixExtension:
        return ReadQuantMatrixExtension(src, seq);
    case kPictureDisplayExtension:
        return ReadPictureDisplayExtension(src, seq, pic);
    case kPictureCodingExtension:
        return ReadPictureCodingExtension(src, pic);
    case kPictureSpatialScalableExtension:
        return ReadPictureSpatialScalableExtension(src, pic);
    case kPictureTemporalScalableExtension:
        return kResultUnsupported;
    default:
        return 1; // rights information and unknown extensions are skipped
    }
}

// Reads the extension and user data start codes that follow a header, while they come.
template <typename ReadExtension> int ReadExtensions(ByteSource& src, ReadExtension read) {
    while (src.NextStartCode() == 1) {
        uint32_t code = src.Peek(32);
        if (code != kExtensionStartCode && code != kUserDataStartCode) break;
        src.Skip(32);
        if (code == kExtensionStartCode) {
            int r = read();
            if (r != 1) return r;
        }
    }
    return src.state() < 0 ? kResultReadError : 1;
}

void SetMpeg1PictureValues(PictureHeader& pic) {
    pic.f_code[0][0] = pic.f_code[0][1] = pic.forward_f_code;
    pic.f_code[1][0] = pic.f_code[1][1] = pic.backward_f_code;
    pic.intra_dc_precision = 0;
    pic.picture_structure = kFramePicture;
    pic.top_field_first = 0;
    pic.frame_pred_frame_dct = 1;
    pic.concealment_motion_vectors = 0;
    pic.q_scale_type = 0;
    pic.intra_vlc_format = 0;
    pic.alternate_scan = 0;
    pic.repeat_first_field = 0;
    pic.progressive_frame = 1;
}

} // namespace

double SequenceHeader::FrameRate() const {
    static constexpr double kRates[16] = {
        0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60, 0, 0, 0, 0, 0, 0, 0};
    return kRates[frame_rate_code & 15] * (frame_rate_extension_n + 1) /
           (frame_rate_extension_d + 1);
}

int ReadSequenceHeader(ByteSource& src, SequenceHeader& seq) {
    seq.horizontal_size = static_cast<int>(src.Read(12));
    seq.vertical_size = static_cast<int>(src.Read(12));
    seq.aspect_ratio_information = static_cast<int>(src.Read(4));
    seq.frame_rate_code = static_cast<int>(src.Read(4));
    seq.bit_rate = static_cast<int>(src.Read(18));
    src.Skip(1);
    seq.vbv_buffer_size = static_cast<int>(src.Read(10));
    seq.constrained_parameters = src.ReadFlag();
    if (src.ReadFlag()) {
        ReadMatrix(src, seq.intra_matrix);
    } else {
        seq.intra_matrix = kDefaultIntraMatrix;
    }
    if (src.ReadFlag()) {
        ReadMatrix(src, seq.non_intra_matrix);
    } else {
        seq.non_intra_matrix.fill(16);
    }
    seq.chroma_intra_matrix = seq.intra_matrix;
    seq.chroma_non_intra_matrix = seq.non_intra_matrix;
    int r = HeaderState(src);
    if (r != 1) return r;
    seq.mpeg2 = false;
    r = ReadExtensions(src, [&] { return ReadSequenceExtensionById(src, seq); });
    if (r != 1) return r;
    if (!seq.mpeg2) {
        seq.progressive_sequence = 1;
        seq.chroma_format = 1;
        seq.matrix_coefficients = 5;
    }
    return 1;
}

int ReadGopHeader(ByteSource& src, GopHeader& gop) {
    gop.drop_frame = src.ReadFlag();
    gop.hours = static_cast<int>(src.Read(5));
    gop.minutes = static_cast<int>(src.Read(6));
    src.Skip(1);
    gop.seconds = static_cast<int>(src.Read(6));
    gop.pictures = static_cast<int>(src.Read(6));
    gop.closed_gop = src.ReadFlag();
    gop.broken_link = src.ReadFlag();
    return HeaderState(src);
}

int ReadPictureHeader(ByteSource& src, SequenceHeader& seq, PictureHeader& pic) {
    pic.temporal_reference = static_cast<int>(src.Read(10));
    pic.picture_coding_type = static_cast<int>(src.Read(3));
    pic.vbv_delay = static_cast<int>(src.Read(16));
    if (pic.picture_coding_type == kPictureP || pic.picture_coding_type == kPictureB) {
        pic.full_pel_forward_vector = static_cast<int>(src.Read(1));
        pic.forward_f_code = static_cast<int>(src.Read(3));
    }
    if (pic.picture_coding_type == kPictureB) {
        pic.full_pel_backward_vector = static_cast<int>(src.Read(1));
        pic.backward_f_code = static_cast<int>(src.Read(3));
    }
    while (src.ReadFlag())
        src.Skip(8); // extra information
    int r = HeaderState(src);
    if (r != 1) return r;
    bool known_type = pic.picture_coding_type >= kPictureI &&
                      pic.picture_coding_type <= (seq.mpeg2 ? kPictureB : kPictureD);
    if (!known_type) return kResultBadSyntax;
    if (!seq.mpeg2) SetMpeg1PictureValues(pic);
    return ReadExtensions(src, [&] { return ReadPictureExtensionById(src, seq, pic); });
}

int ReadHeadersToPicture(ByteSource& src, StreamHeaders& headers, bool& gop_seen) {
    const StreamHeaders saved = headers;
    const uint64_t start = src.Tell();
    const int previous_structure = headers.picture.picture_structure;
    gop_seen = false;
    int r = 0;
    while (r == 0) {
        if (src.NextStartCode() != 1) {
            r = src.state() < 0 ? src.state() : 2; // 2: end of data
            break;
        }
        switch (src.Read(32)) {
        case kPictureStartCode:
            r = ReadPictureHeader(src, headers.sequence, headers.picture);
            if (r == 1) r = 3; // 3: a picture
            break;
        case kSequenceHeaderCode:
            r = ReadSequenceHeader(src, headers.sequence);
            if (r == 1) r = 0;
            break;
        case kGroupStartCode:
            r = ReadGopHeader(src, headers.gop);
            if (r == 1) r = 0;
            gop_seen = true;
            break;
        case kSequenceEndCode:
            r = 2;
            break;
        default:
            break; // slices and anything else: on to the next start code
        }
    }
    if (r == 2) {
        headers = saved;
        src.Seek(start);
        return 0;
    }
    if (r != 3) return r;
    const int structure = headers.picture.picture_structure;
    if (gop_seen) {
        headers.second_field = false;
        headers.frame_counter = 1;
    } else if (previous_structure == kFramePicture || structure == kFramePicture) {
        headers.second_field = false;
        ++headers.frame_counter;
    } else {
        headers.second_field = !headers.second_field;
        if (!headers.second_field) ++headers.frame_counter;
    }
    return 1;
}

} // namespace quorin::decoder
