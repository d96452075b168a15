#include "decoder/picture_decoder.h"
#include "decoder/decoder.h"

#include "decoder/idct.h"
#include "decoder/tables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quorin::decoder {

namespace {

// frame_motion_type (frame pictures) and field_motion_type (field pictures).
constexpr int kMotionField = 1;
constexpr int kMotionFrame = 2;
constexpr int k16x8 = 2;
constexpr int kDualPrime = 3;

constexpr uint32_t kFirstSliceCode = 0x101;
constexpr uint32_t kLastSliceCode = 0x1AF;
constexpr int kMaxStuffing = 1 << 16;

struct CoefficientParams {
    const uint8_t* scan;
    const uint8_t* weights;
    int quantiser_scale;
    bool intra;
    bool mpeg2;
};

// One escaped level: 12 bits signed in MPEG-2, 8 or 16 bits in MPEG-1. 0 is invalid.
int ReadEscapeLevel(ByteSource& src, bool mpeg2) {
    if (mpeg2) {
        return static_cast<int32_t>(src.Read(12) << 20) >> 20;
    }
    const int byte = static_cast<int>(src.Read(8));
    const int level = byte >= 128 ? byte - 256 : byte; // 8 bits, two's complement
    if (level == 0) return static_cast<int>(src.Read(8));
    if (level == -128) return static_cast<int>(src.Read(8)) - 256;
    return level;
}

int Dequantise(int magnitude, int weight, const CoefficientParams& p) {
    const int scaled = magnitude * p.quantiser_scale * weight;
    if (p.mpeg2) {
        return p.intra ? scaled >> 4 : ((2 * magnitude + 1) * p.quantiser_scale * weight) >> 5;
    }
    int v = p.intra ? scaled >> 3 : ((2 * magnitude + 1) * p.quantiser_scale * weight) >> 4;
    if (v != 0 && (v & 1) == 0) --v; // MPEG-1 oddification, toward zero
    return v;
}

// Reads run/level pairs up to the end of block. `index` is the scan index of the last coefficient
// read so far (0 after an intra DC, -1 before the first coefficient of a non-intra block). Adds
// every stored value to `sum`.
template <typename Table>
bool ReadCoefficients(ByteSource& src, const Table& table, const CoefficientParams& p, int index,
                      int16_t* block, int& sum) {
    bool first = !p.intra;
    for (;;) {
        int run;
        int level;
        if (first && src.Peek(1)) {
            // The "1s" code of the first coefficient of a non-intra block.
            level = (src.Read(2) & 1) ? -1 : 1;
            run = 0;
        } else {
            const vlc::Entry& e = table.Lookup(src.Peek(table.bits));
            if (e.len == 0) return false;
            src.Skip(e.len);
            if (e.a == kRunEob) return true;
            if (e.a == kRunEscape) {
                run = static_cast<int>(src.Read(6));
                level = ReadEscapeLevel(src, p.mpeg2);
                if (level == 0) return false;
            } else {
                run = e.a;
                level = e.b;
            }
        }
        first = false;
        index += run + 1;
        if (index > 63) return false;
        const int pos = p.scan[index];
        const int magnitude = std::min(level < 0 ? -level : level, 4096);
        const int v = Dequantise(magnitude, p.weights[pos], p);
        const int value = level < 0 ? -std::min(v, 2048) : std::min(v, 2047);
        block[pos] = static_cast<int16_t>(value);
        sum += value;
    }
}

} // namespace

int PictureDecoder::Setup(int mb_width, int mb_height, int chroma_format) {
    geo_ = Geometry{};
    geo_.mb_width = mb_width;
    geo_.mb_height = mb_height;
    geo_.chroma_format = chroma_format;
    geo_.blocks = chroma_format == 1 ? 6 : chroma_format == 2 ? 8 : 12;
    geo_.chroma_shift_x = chroma_format == 3 ? 0 : 1;
    geo_.chroma_shift_y = chroma_format == 1 ? 1 : 0;
    geo_.width[0] = mb_width * 16;
    geo_.height[0] = mb_height * 16;
    for (int p = 1; p < 3; ++p) {
        geo_.width[p] = geo_.width[0] >> geo_.chroma_shift_x;
        geo_.height[p] = geo_.height[0] >> geo_.chroma_shift_y;
    }
    try {
        for (FrameStore& store : stores_) {
            for (int p = 0; p < 3; ++p) {
                const size_t size =
                    static_cast<size_t>(geo_.width[p]) * static_cast<size_t>(geo_.height[p]);
                store.planes[static_cast<size_t>(p)] =
                    std::make_unique_for_overwrite<uint8_t[]>(size);
            }
            store.filled = false;
        }
    } catch (const std::bad_alloc&) {
        Release();
        return kResultNoMemory;
    }
    ref_old_ = 0;
    ref_new_ = 1;
    target_ = 0;
    return 1;
}

void PictureDecoder::Release() {
    for (FrameStore& store : stores_) {
        for (auto& plane : store.planes)
            plane.reset();
        store.filled = false;
    }
    geo_ = Geometry{};
}

void PictureDecoder::EnsureFilled(FrameStore& store) const {
    if (store.filled) return;
    // A store that no picture has filled reads as black.
    for (int p = 0; p < 3; ++p) {
        const size_t size =
            static_cast<size_t>(geo_.width[p]) * static_cast<size_t>(geo_.height[p]);
        std::memset(store.plane(p), p == 0 ? 16 : 128, size);
    }
    store.filled = true;
}

void PictureDecoder::SelectTarget(int picture_coding_type, bool second_field) {
    if (picture_coding_type == kPictureB) {
        target_ = 2;
        return;
    }
    if (!second_field) std::swap(ref_old_, ref_new_);
    target_ = ref_new_;
}

int PictureDecoder::QuantiserScale(int code) const {
    if (!seq_->mpeg2) return code;
    return pic_->q_scale_type ? kNonLinearQuantiserScale[static_cast<size_t>(code & 31)] : 2 * code;
}

int PictureDecoder::DecodePicture(ByteSource& src, const SequenceHeader& seq,
                                  const PictureHeader& pic, bool second_field) {
    seq_ = &seq;
    pic_ = &pic;
    second_field_ = second_field;
    field_picture_ = pic.picture_structure != kFramePicture;
    parity_ = pic.picture_structure == kBottomField ? 1 : 0;
    mb_rows_ = field_picture_ ? geo_.mb_height / 2 : geo_.mb_height;
    total_mbs_ = mb_rows_ * geo_.mb_width;
    FrameStore& target = stores_[static_cast<size_t>(target_)];
    EnsureFilled(target);
    if (pic.picture_coding_type == kPictureP || pic.picture_coding_type == kPictureB) {
        EnsureFilled(stores_[static_cast<size_t>(ref_old_)]);
        EnsureFilled(stores_[static_cast<size_t>(ref_new_)]);
    }
    for (int p = 0; p < 3; ++p) {
        const int field_offset = field_picture_ ? parity_ * geo_.width[p] : 0;
        dst_[p] = target.plane(p) + field_offset;
        dst_stride_[p] = geo_.width[p] * (field_picture_ ? 2 : 1);
    }
    scan_ = pic.alternate_scan ? kAlternateScan.data() : kZigzagScan.data();
    last_address_ = -1;
    last_slice_error_ = 1;
    if (!second_field) frame_macroblocks_ = 0;
    // Every pass consumes a start code, so the loop ends with the data.
    while (src.NextStartCode() == 1) {
        const uint32_t code = src.Peek(32);
        if (code < kFirstSliceCode || code > kLastSliceCode) break;
        src.Skip(32);
        const int r = DecodeSlice(src, static_cast<int>(code & 0xFF));
        if (r != 1) last_slice_error_ = r;
        if (r == kResultReadError || last_address_ >= total_mbs_ - 1) break;
    }
    return src.state() < 0 ? kResultReadError : 1;
}

int PictureDecoder::DecodeSlice(ByteSource& src, int slice_code) {
    int vertical_position = slice_code;
    if (seq_->mpeg2 && seq_->vertical_size > 2800) {
        vertical_position += static_cast<int>(src.Read(3) << 7);
    }
    if (seq_->scalable_mode == kDataPartitioning) src.Skip(7); // priority breakpoint
    SliceState st;
    st.quantiser_scale_code = static_cast<int>(src.Read(5));
    while (src.ReadFlag())
        src.Skip(8); // intra_slice, reserved bits and extra information
    if (src.state() != 1) return kResultReadError;
    if (vertical_position > mb_rows_ || st.quantiser_scale_code == 0) return kResultBadSyntax;
    int increment = DecodeAddressIncrement(src);
    if (increment <= 0) return src.state() == 1 ? kResultBadSyntax : kResultDataRanOut;
    int address = (vertical_position - 1) * geo_.mb_width + increment - 1;
    const bool can_skip =
        pic_->picture_coding_type == kPictureP || pic_->picture_coding_type == kPictureB;
    for (;;) {
        if (address >= total_mbs_) return kResultBadSyntax;
        const int r = DecodeMacroblock(src, address, st);
        if (r != 1) return r;
        if (src.state() != 1) return src.state() < 0 ? kResultReadError : kResultDataRanOut;
        last_address_ = address;
        ++frame_macroblocks_;
        if (address == total_mbs_ - 1 || src.AtStartCodePrefix()) return 1;
        increment = DecodeAddressIncrement(src);
        if (increment <= 0) return src.state() == 1 ? kResultBadSyntax : kResultDataRanOut;
        if (increment > 1 && !can_skip) return kResultBadSyntax;
        if (address + increment >= total_mbs_) return kResultBadSyntax;
        for (int i = 1; i < increment; ++i)
            SkipMacroblock(address + i, st);
        address += increment;
    }
}

int PictureDecoder::DecodeAddressIncrement(ByteSource& src) {
    int increment = 0;
    for (int guard = 0; guard < kMaxStuffing; ++guard) {
        const vlc::Entry& e = kAddressIncrementTable.Lookup(src.Peek(kAddressIncrementTable.bits));
        if (e.len == 0) return -1;
        src.Skip(e.len);
        if (e.a == kMbaStuffing) continue;
        if (e.a == kMbaEscape) {
            increment += 33;
            if (increment > total_mbs_) return -1;
            continue;
        }
        return increment + e.a;
    }
    return -1;
}

int PictureDecoder::DecodeMacroblockType(ByteSource& src) {
    const vlc::Entry* e = nullptr;
    switch (pic_->picture_coding_type) {
    case kPictureI:
        e = &kMbTypeITable.Lookup(src.Peek(kMbTypeITable.bits));
        break;
    case kPictureP:
        e = &kMbTypePTable.Lookup(src.Peek(kMbTypePTable.bits));
        break;
    case kPictureB:
        e = &kMbTypeBTable.Lookup(src.Peek(kMbTypeBTable.bits));
        break;
    default:
        e = &kMbTypeDTable.Lookup(src.Peek(kMbTypeDTable.bits));
        break;
    }
    if (e->len == 0) return -1;
    src.Skip(e->len);
    return e->a;
}

int PictureDecoder::DecodeMacroblock(ByteSource& src, int address, SliceState& st) {
    const int flags = DecodeMacroblockType(src);
    if (flags < 0) return kResultBadSyntax;
    const bool intra = (flags & kMbIntra) != 0;
    MotionInfo mi;
    mi.forward = (flags & kMbForward) != 0;
    mi.backward = (flags & kMbBackward) != 0;
    mi.motion_type = field_picture_ ? kMotionField : kMotionFrame;
    if ((mi.forward || mi.backward) && (field_picture_ || !pic_->frame_pred_frame_dct)) {
        mi.motion_type = static_cast<int>(src.Read(2));
        if (mi.motion_type == 0) return kResultBadSyntax;
    }
    int dct_type = 0;
    if (!field_picture_ && !pic_->frame_pred_frame_dct && (flags & (kMbIntra | kMbPattern))) {
        dct_type = static_cast<int>(src.Read(1));
    }
    if (flags & kMbQuant) {
        st.quantiser_scale_code = static_cast<int>(src.Read(5));
        if (st.quantiser_scale_code == 0) return kResultBadSyntax;
    }
    const bool concealment = intra && pic_->concealment_motion_vectors;
    if (mi.forward || concealment) {
        if (DecodeMotionVectors(src, 0, intra, mi, st) != 1) return kResultBadSyntax;
    }
    if (mi.backward && DecodeMotionVectors(src, 1, intra, mi, st) != 1) return kResultBadSyntax;
    if (concealment) src.Skip(1);
    int cbp = 0;
    if (intra) {
        cbp = (1 << geo_.blocks) - 1;
        if (!concealment) std::fill(&st.pmv[0][0][0], &st.pmv[0][0][0] + 8, 0);
    } else {
        std::fill(st.dc_pred, st.dc_pred + 3, 0);
        if (pic_->picture_coding_type == kPictureP && !mi.forward) {
            // No vector in a P picture: forward prediction with a zero vector.
            std::fill(&st.pmv[0][0][0], &st.pmv[0][0][0] + 8, 0);
            mi.forward = true;
            mi.motion_type = field_picture_ ? kMotionField : kMotionFrame;
            mi.field_select[0][0] = parity_;
        }
        if (flags & kMbPattern) {
            const vlc::Entry& e =
                kCodedBlockPatternTable.Lookup(src.Peek(kCodedBlockPatternTable.bits));
            if (e.len == 0) return kResultBadSyntax;
            src.Skip(e.len);
            cbp = e.a;
            if (geo_.chroma_format == 2) cbp = (cbp << 2) | static_cast<int>(src.Read(2));
            if (geo_.chroma_format == 3) cbp = (cbp << 6) | static_cast<int>(src.Read(6));
        }
        FormPrediction(address, mi);
    }
    st.previous = mi;
    st.previous_intra = intra;
    const int r = DecodeBlocks(src, address, flags, cbp, dct_type, st);
    if (r != 1) return r;
    if (pic_->picture_coding_type == kPictureD) src.Skip(1); // end_of_macroblock
    return 1;
}

int PictureDecoder::DecodeMotionVectors(ByteSource& src, int s, bool intra, MotionInfo& mi,
                                        SliceState& st) {
    int count = 1;
    bool field_format = field_picture_;
    const bool dual_prime = !intra && mi.motion_type == kDualPrime;
    if (!field_picture_ && !intra && seq_->mpeg2) {
        count = mi.motion_type == kMotionField ? 2 : 1;
        field_format = mi.motion_type != kMotionFrame;
    } else if (field_picture_ && !intra) {
        count = mi.motion_type == k16x8 ? 2 : 1;
    }
    const bool field_in_frame = field_format && !field_picture_;
    int dmvector[2] = {};
    if (count == 1) {
        if (field_format && !dual_prime) mi.field_select[0][s] = static_cast<int>(src.Read(1));
        if (!DecodeVector(src, s, field_in_frame, dual_prime, st.pmv[0][s], dmvector))
            return kResultBadSyntax;
        st.pmv[1][s][0] = st.pmv[0][s][0];
        st.pmv[1][s][1] = st.pmv[0][s][1];
    } else {
        for (int r = 0; r < 2; ++r) {
            mi.field_select[r][s] = static_cast<int>(src.Read(1));
            if (!DecodeVector(src, s, field_in_frame, false, st.pmv[r][s], dmvector))
                return kResultBadSyntax;
        }
    }
    for (int r = 0; r < 2; ++r) {
        mi.mv[r][s][0] = st.pmv[r][s][0];
        // Field vectors of frame pictures are kept doubled in the predictors.
        mi.mv[r][s][1] = field_in_frame ? st.pmv[r][s][1] >> 1 : st.pmv[r][s][1];
    }
    if (dual_prime) DeriveDualPrime(mi, dmvector);
    return 1;
}

bool PictureDecoder::DecodeVector(ByteSource& src, int s, bool field_vertical, bool dual_prime,
                                  int* pmv, int* dmvector) {
    const bool full_pel =
        (s == 0 ? pic_->full_pel_forward_vector : pic_->full_pel_backward_vector) != 0;
    for (int t = 0; t < 2; ++t) {
        const int f_code = pic_->f_code[s][t];
        if (f_code < 1 || f_code > 9) return false;
        const int r_size = f_code - 1;
        const vlc::Entry& e = kMotionCodeTable.Lookup(src.Peek(kMotionCodeTable.bits));
        if (e.len == 0) return false;
        src.Skip(e.len);
        const int code = e.b;
        const int residual = (r_size && code) ? static_cast<int>(src.Read(r_size)) : 0;
        if (dual_prime) {
            const vlc::Entry& d = kDmVectorTable.Lookup(src.Peek(kDmVectorTable.bits));
            src.Skip(d.len);
            dmvector[t] = d.b;
        }
        const bool halve = field_vertical && t == 1;
        int prediction = pmv[t];
        if (halve) prediction >>= 1;
        if (full_pel) prediction >>= 1;
        const int f = 1 << r_size;
        int delta = code;
        if (f != 1 && code != 0) {
            delta = (std::abs(code) - 1) * f + residual + 1;
            if (code < 0) delta = -delta;
        }
        int vector = prediction + delta;
        if (vector < -16 * f) vector += 32 * f;
        if (vector > 16 * f - 1) vector -= 32 * f;
        if (full_pel) vector *= 2;
        if (halve) vector *= 2;
        pmv[t] = vector;
    }
    return true;
}

void PictureDecoder::DeriveDualPrime(MotionInfo& mi, const int* dmvector) const {
    const int mx = mi.mv[0][0][0];
    const int my = mi.mv[0][0][1];
    // (v * m) // 2, rounding halves away from zero.
    auto scaled = [](int v, int m) {
        const int p = v * m;
        return (p + (p > 0 ? 1 : 0)) >> 1;
    };
    if (field_picture_) {
        mi.dual_prime[0][0] = scaled(mx, 1) + dmvector[0];
        mi.dual_prime[0][1] = scaled(my, 1) + dmvector[1] + (parity_ == 0 ? -1 : 1);
        return;
    }
    // Field distances: the first field in time is one field from the other parity of the
    // reference, the second field three.
    const int m_top = pic_->top_field_first ? 1 : 3;
    const int m_bottom = pic_->top_field_first ? 3 : 1;
    mi.dual_prime[0][0] = scaled(mx, m_top) + dmvector[0];
    mi.dual_prime[0][1] = scaled(my, m_top) + dmvector[1] - 1;
    mi.dual_prime[1][0] = scaled(mx, m_bottom) + dmvector[0];
    mi.dual_prime[1][1] = scaled(my, m_bottom) + dmvector[1] + 1;
}

void PictureDecoder::SkipMacroblock(int address, SliceState& st) {
    std::fill(st.dc_pred, st.dc_pred + 3, 0);
    MotionInfo mi;
    mi.motion_type = field_picture_ ? kMotionField : kMotionFrame;
    if (pic_->picture_coding_type == kPictureP) {
        std::fill(&st.pmv[0][0][0], &st.pmv[0][0][0] + 8, 0);
        mi.forward = true;
        mi.field_select[0][0] = parity_;
    } else {
        // B picture: the previous macroblock's directions with the predicted vectors.
        mi.forward = st.previous.forward || st.previous_intra;
        mi.backward = st.previous.backward && !st.previous_intra;
        for (int s = 0; s < 2; ++s) {
            mi.mv[0][s][0] = st.pmv[0][s][0];
            mi.mv[0][s][1] = st.pmv[0][s][1];
            mi.field_select[0][s] = parity_;
        }
    }
    FormPrediction(address, mi);
    st.previous = mi;
    st.previous_intra = false;
}

PlaneView PictureDecoder::View(const FrameStore& store, int plane, int field) const {
    PlaneView v;
    const int w = geo_.width[plane];
    v.data = store.plane(plane) + (field > 0 ? w : 0);
    v.stride = field >= 0 ? 2 * w : w;
    v.width = w;
    v.height = field >= 0 ? geo_.height[plane] / 2 : geo_.height[plane];
    return v;
}

const FrameStore& PictureDecoder::FieldReference(int direction, int parity) const {
    // The second field of a P frame predicts from its own first field.
    if (direction == 0 && field_picture_ && second_field_ &&
        pic_->picture_coding_type == kPictureP && parity != parity_) {
        return stores_[static_cast<size_t>(target_)];
    }
    return stores_[static_cast<size_t>(direction == 0 ? ref_old_ : ref_new_)];
}

void PictureDecoder::PredictMacroblockPart(const FrameStore& ref, int ref_field, int dst_field,
                                           int x, int y, int w, int h, const int* mv,
                                           bool average) {
    for (int p = 0; p < 3; ++p) {
        const int sx = p ? geo_.chroma_shift_x : 0;
        const int sy = p ? geo_.chroma_shift_y : 0;
        // Chroma vectors are the luma ones divided with truncation toward zero.
        const int mvx = sx ? mv[0] / 2 : mv[0];
        const int mvy = sy ? mv[1] / 2 : mv[1];
        const int px = x >> sx;
        const int py = y >> sy;
        int stride = dst_stride_[p];
        uint8_t* dst = dst_[p];
        if (dst_field >= 0) {
            dst += dst_field * stride;
            stride *= 2;
        }
        dst += static_cast<long>(py) * stride + px;
        PredictArea(dst, stride, View(ref, p, ref_field), px, py, mvx, mvy, w >> sx, h >> sy,
                    average);
    }
}

void PictureDecoder::FormPrediction(int address, const MotionInfo& mi) {
    const int x = (address % geo_.mb_width) * 16;
    const int y = (address / geo_.mb_width) * 16;
    bool average = false;
    for (int s = 0; s < 2; ++s) {
        if (!(s == 0 ? mi.forward : mi.backward)) continue;
        const FrameStore& ref = stores_[static_cast<size_t>(s == 0 ? ref_old_ : ref_new_)];
        if (!field_picture_) {
            switch (mi.motion_type) {
            case kMotionField:
                for (int f = 0; f < 2; ++f) {
                    PredictMacroblockPart(ref, mi.field_select[f][s], f, x, y / 2, 16, 8,
                                          mi.mv[f][s], average);
                }
                break;
            case kDualPrime:
                PredictMacroblockPart(ref, 0, 0, x, y / 2, 16, 8, mi.mv[0][s], false);
                PredictMacroblockPart(ref, 1, 0, x, y / 2, 16, 8, mi.dual_prime[0], true);
                PredictMacroblockPart(ref, 1, 1, x, y / 2, 16, 8, mi.mv[0][s], false);
                PredictMacroblockPart(ref, 0, 1, x, y / 2, 16, 8, mi.dual_prime[1], true);
                break;
            default:
                PredictMacroblockPart(ref, -1, -1, x, y, 16, 16, mi.mv[0][s], average);
                break;
            }
        } else {
            switch (mi.motion_type) {
            case k16x8:
                for (int r = 0; r < 2; ++r) {
                    const int sel = mi.field_select[r][s];
                    PredictMacroblockPart(FieldReference(s, sel), sel, -1, x, y + 8 * r, 16, 8,
                                          mi.mv[r][s], average);
                }
                break;
            case kDualPrime:
                PredictMacroblockPart(FieldReference(0, parity_), parity_, -1, x, y, 16, 16,
                                      mi.mv[0][s], false);
                PredictMacroblockPart(FieldReference(0, 1 - parity_), 1 - parity_, -1, x, y, 16, 16,
                                      mi.dual_prime[0], true);
                break;
            default: {
                const int sel = mi.field_select[0][s];
                PredictMacroblockPart(FieldReference(s, sel), sel, -1, x, y, 16, 16, mi.mv[0][s],
                                      average);
                break;
            }
            }
        }
        average = true;
    }
}

int PictureDecoder::DecodeBlocks(ByteSource& src, int address, int flags, int cbp, int dct_type,
                                 SliceState& st) {
    const bool intra = (flags & kMbIntra) != 0;
    const int mb_x = address % geo_.mb_width;
    const int mb_y = address / geo_.mb_width;
    for (int b = 0; b < geo_.blocks; ++b) {
        if (!(cbp & (1 << (geo_.blocks - 1 - b)))) continue;
        int16_t* block = blocks_[b];
        std::fill(block, block + 64, int16_t{0});
        const int component = b < 4 ? 0 : 1 + (b & 1);
        bool ac = false;
        const bool ok = intra ? DecodeIntraBlock(src, component, st, block)
                              : DecodeNonIntraBlock(src, component, st, block);
        if (!ok)
            return src.state() == 1  ? kResultBadSyntax
                   : src.state() < 0 ? kResultReadError
                                     : kResultDataRanOut;
        for (int i = 1; i < 64 && !ac; ++i)
            ac = block[i] != 0;
        if (ac) {
            InverseDct(block);
        } else {
            InverseDctDcOnly(block);
        }
        // Where the block goes: field DCT interleaves the lines of the two fields.
        const int p = b < 4 ? 0 : component;
        const int field_dct = dct_type && (b < 4 || geo_.chroma_format != 1);
        int stride = dst_stride_[p];
        const int mb_w = 16 >> (p ? geo_.chroma_shift_x : 0);
        const int mb_h = 16 >> (p ? geo_.chroma_shift_y : 0);
        const int row = b < 4 ? (b >> 1) : ((b & 2) >> 1);
        const int column = b < 4 ? (b & 1) * 8 : ((b & 8) ? 8 : 0);
        uint8_t* dst = dst_[p] + static_cast<long>(mb_y * mb_h) * stride + mb_x * mb_w + column;
        dst += static_cast<long>(field_dct ? row : row * 8) * stride;
        if (field_dct) stride *= 2;
        if (intra) {
            StoreIntraBlock(block, dst, stride);
        } else {
            AddBlock(block, dst, stride);
        }
    }
    return 1;
}

bool PictureDecoder::DecodeIntraBlock(ByteSource& src, int component, SliceState& st,
                                      int16_t* block) {
    const vlc::Entry& e = component == 0
                              ? kDcSizeLumaTable.Lookup(src.Peek(kDcSizeLumaTable.bits))
                              : kDcSizeChromaTable.Lookup(src.Peek(kDcSizeChromaTable.bits));
    if (e.len == 0) return false;
    src.Skip(e.len);
    const int size = e.a;
    int differential = 0;
    if (size > 0) {
        const int bits = static_cast<int>(src.Read(size));
        differential = (bits >> (size - 1)) ? bits : bits - (1 << size) + 1;
    }
    // The predictor is kept relative to the mid value; the stored pixel adds 128 back.
    int& predictor = st.dc_pred[component];
    predictor = std::clamp(predictor + differential, -(1 << 16), 1 << 16);
    const int dc = std::clamp(predictor * (1 << (3 - pic_->intra_dc_precision)), -2048, 2047);
    block[0] = static_cast<int16_t>(dc);
    if (pic_->picture_coding_type == kPictureD) return true;
    int sum = dc;
    return DecodeCoefficients(src, true, component, QuantiserScale(st.quantiser_scale_code), 0,
                              block, sum);
}

bool PictureDecoder::DecodeNonIntraBlock(ByteSource& src, int component, const SliceState& st,
                                         int16_t* block) {
    int sum = 0;
    return DecodeCoefficients(src, false, component, QuantiserScale(st.quantiser_scale_code), -1,
                              block, sum);
}

bool PictureDecoder::DecodeCoefficients(ByteSource& src, bool intra, int component,
                                        int quantiser_scale, int first, int16_t* block, int& sum) {
    const SequenceHeader& s = *seq_;
    const Matrix& weights = intra ? (component ? s.chroma_intra_matrix : s.intra_matrix)
                                  : (component ? s.chroma_non_intra_matrix : s.non_intra_matrix);
    const CoefficientParams params{scan_, weights.data(), quantiser_scale, intra, s.mpeg2};
    const bool ok = (intra && pic_->intra_vlc_format)
                        ? ReadCoefficients(src, kCoefficientsOneTable, params, first, block, sum)
                        : ReadCoefficients(src, kCoefficientsZeroTable, params, first, block, sum);
    if (!ok) return false;
    if (s.mpeg2 && (sum & 1) == 0) block[63] ^= 1; // mismatch control
    return true;
}

} // namespace quorin::decoder
