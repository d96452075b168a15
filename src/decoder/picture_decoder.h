// Slice and macroblock decoding of one picture into the frame stores.
#pragma once

#include "decoder/byte_source.h"
#include "decoder/headers.h"
#include "decoder/motion.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorin::decoder {

// One decoded frame: Y, Cb and Cr planes of the macroblock-padded size. The planes are not
// cleared when allocated; a store is filled with black the first time a picture uses it.
struct FrameStore {
    std::array<std::unique_ptr<uint8_t[]>, 3> planes;
    bool filled = false;

    const uint8_t* plane(int p) const { return planes[static_cast<size_t>(p)].get(); }
    uint8_t* plane(int p) { return planes[static_cast<size_t>(p)].get(); }
};

struct Geometry {
    int mb_width = 0;
    int mb_height = 0;
    int chroma_format = 1;
    int blocks = 6;    // per macroblock
    int width[3] = {}; // plane widths = strides
    int height[3] = {};
    int chroma_shift_x = 1;
    int chroma_shift_y = 1;
};

// Prediction of one macroblock as the macroblock modes describe it.
struct MotionInfo {
    bool forward = false;
    bool backward = false;
    int motion_type = 0;         // frame_motion_type or field_motion_type
    int mv[2][2][2] = {};        // [vector][direction][horizontal/vertical], half samples
    int field_select[2][2] = {}; // [vector][direction]
    int dual_prime[2][2] = {};   // derived vectors of the other parity, [field][component]
};

class PictureDecoder {
public:
    // Allocates the three frame stores. Returns 1, or -5 when memory runs out.
    int Setup(int mb_width, int mb_height, int chroma_format);
    // Frees the frame stores.
    void Release();

    // Chooses the store the next picture is decoded into, exchanging the references for an I or
    // P picture that begins a frame.
    void SelectTarget(int picture_coding_type, bool second_field);

    // Decodes the slices of the picture whose headers have just been read. Returns 1, or -8
    // after a read error. The result of the last failed slice is kept in last_slice_error().
    int DecodePicture(ByteSource& src, const SequenceHeader& seq, const PictureHeader& pic,
                      bool second_field);

    const Geometry& geometry() const { return geo_; }
    // The store the last picture went to.
    const FrameStore& target() const { return stores_[static_cast<size_t>(target_)]; }
    int last_slice_error() const { return last_slice_error_; }
    // Macroblocks decoded from the stream since the frame began (skipped ones not counted).
    int frame_macroblocks() const { return frame_macroblocks_; }

private:
    struct SliceState {
        int dc_pred[3] = {};
        int pmv[2][2][2] = {}; // [vector][direction][component]
        int quantiser_scale_code = 1;
        MotionInfo previous;
        bool previous_intra = true;
    };

    int DecodeSlice(ByteSource& src, int slice_code);
    int DecodeAddressIncrement(ByteSource& src);
    int DecodeMacroblock(ByteSource& src, int address, SliceState& st);
    int DecodeMacroblockType(ByteSource& src);
    int DecodeMotionVectors(ByteSource& src, int s, bool intra, MotionInfo& mi, SliceState& st);
    bool DecodeVector(ByteSource& src, int s, bool field_vertical, bool dual_prime, int* pmv,
                      int* dmvector);
    int DecodeBlocks(ByteSource& src, int address, int flags, int cbp, int dct_type,
                     SliceState& st);
    bool DecodeIntraBlock(ByteSource& src, int component, SliceState& st, int16_t* block);
    bool DecodeNonIntraBlock(ByteSource& src, int component, const SliceState& st, int16_t* block);
    bool DecodeCoefficients(ByteSource& src, bool intra, int component, int quantiser_scale,
                            int first, int16_t* block, int& sum);
    void SkipMacroblock(int address, SliceState& st);
    void FormPrediction(int address, const MotionInfo& mi);
    void DeriveDualPrime(MotionInfo& mi, const int* dmvector) const;
    void PredictMacroblockPart(const FrameStore& ref, int ref_field, int dst_field, int x, int y,
                               int w, int h, const int* mv, bool average);
    const FrameStore& FieldReference(int direction, int parity) const;
    void EnsureFilled(FrameStore& store) const;
    PlaneView View(const FrameStore& store, int plane, int field) const;
    int QuantiserScale(int code) const;

    Geometry geo_;
    std::array<FrameStore, 3> stores_; // two references and the store of B pictures
    int ref_old_ = 0;                  // older reference (forward prediction of B pictures)
    int ref_new_ = 1;                  // newer reference
    int target_ = 0;
    int last_slice_error_ = 1;
    int frame_macroblocks_ = 0;

    // Current picture.
    const SequenceHeader* seq_ = nullptr;
    const PictureHeader* pic_ = nullptr;
    bool second_field_ = false;
    bool field_picture_ = false;
    int parity_ = 0; // 0 top, 1 bottom field picture
    int mb_rows_ = 0;
    int total_mbs_ = 0;
    int last_address_ = -1;
    uint8_t* dst_[3] = {};
    int dst_stride_[3] = {};
    const uint8_t* scan_ = nullptr;
    alignas(16) int16_t blocks_[12][64] = {};
};

} // namespace quorin::decoder
