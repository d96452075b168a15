// Sequence, GOP and picture headers with their extensions.
#pragma once

#include "decoder/byte_source.h"

#include <array>
#include <cstdint>

namespace quorin::decoder {

enum PictureCodingType : int { kPictureI = 1, kPictureP = 2, kPictureB = 3, kPictureD = 4 };
enum PictureStructure : int { kTopField = 1, kBottomField = 2, kFramePicture = 3 };
enum ScalableMode : int {
    kNotScalable = 0,
    kDataPartitioning = 1,
    kSpatialScalability = 2,
    kSnrScalability = 3,
};

using Matrix = std::array<uint8_t, 64>; // natural order

struct SequenceHeader {
    int horizontal_size = 0;
    int vertical_size = 0;
    int aspect_ratio_information = 0;
    int frame_rate_code = 0;
    int bit_rate = 0;
    int vbv_buffer_size = 0;
    bool constrained_parameters = false;
    Matrix intra_matrix{};
    Matrix non_intra_matrix{};
    Matrix chroma_intra_matrix{};
    Matrix chroma_non_intra_matrix{};
    bool mpeg2 = false; // a sequence extension was seen
    int profile_and_level = 0;
    int progressive_sequence = 0;
    int chroma_format = 0;
    int low_delay = 0;
    int frame_rate_extension_n = 0;
    int frame_rate_extension_d = 0;
    int video_format = 0;
    int colour_primaries = 0;
    int transfer_characteristics = 0;
    int matrix_coefficients = 0;
    int display_horizontal_size = 0;
    int display_vertical_size = 0;
    int scalable_mode = kNotScalable; // scalable_mode + 1 of the scalable extension
    int layer_id = 0;
    int lower_layer_width = 0;
    int lower_layer_height = 0;
    int horizontal_subsampling_m = 0;
    int horizontal_subsampling_n = 0;
    int vertical_subsampling_m = 0;
    int vertical_subsampling_n = 0;

    double FrameRate() const;
};

struct GopHeader {
    bool drop_frame = false;
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int pictures = 0;
    bool closed_gop = false;
    bool broken_link = false;
};

struct PictureHeader {
    int temporal_reference = -1;
    int picture_coding_type = 0;
    int vbv_delay = 0;
    int full_pel_forward_vector = 0;
    int full_pel_backward_vector = 0;
    int forward_f_code = 0; // MPEG-1 header values
    int backward_f_code = 0;
    int f_code[2][2] = {{15, 15}, {15, 15}}; // [forward/backward][horizontal/vertical]
    int intra_dc_precision = 0;
    int picture_structure = kFramePicture;
    int top_field_first = 0;
    int frame_pred_frame_dct = 1;
    int concealment_motion_vectors = 0;
    int q_scale_type = 0;
    int intra_vlc_format = 0;
    int alternate_scan = 0;
    int repeat_first_field = 0;
    int chroma_420_type = 0;
    int progressive_frame = 1;
    int frame_centre_offsets[3][2] = {};
    int lower_layer_temporal_reference = 0;
    int lower_layer_horizontal_offset = 0;
    int lower_layer_vertical_offset = 0;
    int spatial_temporal_weight_code_table_index = 0;
    int lower_layer_progressive_frame = 0;
    int lower_layer_deinterlaced_field_select = 0;
};

// Everything a layer knows from the headers it has read.
struct StreamHeaders {
    SequenceHeader sequence;
    GopHeader gop;
    PictureHeader picture;
    bool second_field = false;
    int frame_counter = -1;
};

// Header readers. Each expects the reader just past the start code of its header and returns 1,
// or a negative result code.
int ReadSequenceHeader(ByteSource& src, SequenceHeader& seq);
int ReadGopHeader(ByteSource& src, GopHeader& gop);
// A quantiser matrix extension after the picture header updates the matrices in `seq`.
int ReadPictureHeader(ByteSource& src, SequenceHeader& seq, PictureHeader& pic);

// Reads start codes up to the next picture header (inclusive, with its extensions). Returns 1 at
// a picture, 0 at a sequence end code or the end of data, negative on an error. `gop_seen` tells
// whether a GOP header came on the way.
int ReadHeadersToPicture(ByteSource& src, StreamHeaders& headers, bool& gop_seen);

} // namespace quorin::decoder
