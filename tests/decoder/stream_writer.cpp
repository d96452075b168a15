#include "stream_writer.h"

#include "decoder/headers.h"
#include "decoder/tables.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string_view>

namespace quorin::decoder::test {
namespace {

class BitWriter {
public:
    void Put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i)
            Bit((value >> i) & 1);
    }
    void Bit(uint32_t b) {
        cur_ = static_cast<uint8_t>((cur_ << 1) | b);
        if (++count_ == 8) {
            bytes_.push_back(cur_);
            cur_ = 0;
            count_ = 0;
        }
    }
    void Code(std::string_view bits) {
        for (char c : bits) {
            if (c == '0' || c == '1') Bit(static_cast<uint32_t>(c - '0'));
        }
    }
    void StartCode(int code) {
        while (count_ != 0)
            Bit(0);
        Put(0x000001, 24);
        Put(static_cast<uint32_t>(code), 8);
    }
    std::vector<uint8_t> Finish() {
        StartCode(0xB7);
        return bytes_;
    }

private:
    std::vector<uint8_t> bytes_;
    uint8_t cur_ = 0;
    int count_ = 0;
};

template <typename Codes> std::string_view CodeOfA(const Codes& codes, int a) {
    for (const vlc::Code& c : codes) {
        if (c.a == a) return c.bits;
    }
    throw std::logic_error("no code");
}

template <typename Codes> const vlc::Code* CodeOfRunLevel(const Codes& codes, int run, int level) {
    for (const vlc::Code& c : codes) {
        if (c.a == run && c.b == level) return &c;
    }
    return nullptr;
}

struct Vec {
    int x = 0, y = 0;
};

enum Dir { kFwd = 0, kBwd = 1 };

// Motion types as coded.
constexpr int kField = 1, kFrame = 2, k16x8 = 2, kDual = 3;

class Generator {
public:
    explicit Generator(const SyntheticOptions& o) : o_(o), rng_(o.seed) {
        mb_w_ = (o.width + 15) / 16;
        mb_h_ = 2 * ((o.height + 31) / 32);
        sx_ = o.chroma_format == 3 ? 0 : 1;
        sy_ = o.chroma_format == 1 ? 1 : 0;
        blocks_ = o.chroma_format == 1 ? 6 : o.chroma_format == 2 ? 8 : 12;
    }

    std::vector<uint8_t> Run() {
        SequenceHeader();
        w_.StartCode(0xB8); // GOP: closed
        w_.Put(0, 25);
        w_.Put(1, 1);
        w_.Put(0, 1);
        if (o_.field_pictures) {
            Picture(kPictureI, 0, o_.top_field_first ? kTopField : kBottomField, false, true);
            if (o_.single_field) return w_.Finish();
            Picture(kPictureP, 0, o_.top_field_first ? kBottomField : kTopField, true, true);
            Picture(kPictureP, 2, o_.top_field_first ? kTopField : kBottomField, false, false);
            Picture(kPictureP, 2, o_.top_field_first ? kBottomField : kTopField, true, false);
            Picture(kPictureB, 1, o_.top_field_first ? kTopField : kBottomField, false, false);
            Picture(kPictureB, 1, o_.top_field_first ? kBottomField : kTopField, true, false);
        } else {
            Picture(kPictureI, 0, kFramePicture, false, true);
            Picture(kPictureP, 2, kFramePicture, false, false);
            Picture(kPictureB, 1, kFramePicture, false, false);
        }
        return w_.Finish();
    }

private:
    int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Rand(0, 99) < percent; }

    void SequenceHeader() {
        w_.StartCode(0xB3);
        w_.Put(static_cast<uint32_t>(o_.width), 12);
        w_.Put(static_cast<uint32_t>(o_.height), 12);
        w_.Put(2, 4); // 4:3
        w_.Put(3, 4); // 25 Hz
        w_.Put(20000, 18);
        w_.Put(1, 1);
        w_.Put(112, 10);
        w_.Put(0, 1);
        w_.Put(0, 1); // default matrices
        w_.Put(0, 1);
        w_.StartCode(0xB5);
        w_.Put(1, 4);
        w_.Put(o_.chroma_format == 1 ? 0x48 : 0x82, 8);
        w_.Put(0, 1); // interlaced sequence
        w_.Put(static_cast<uint32_t>(o_.chroma_format), 2);
        w_.Put(0, 2);
        w_.Put(0, 2);
        w_.Put(0, 12);
        w_.Put(1, 1);
        w_.Put(0, 8);
        w_.Put(0, 1);
        w_.Put(0, 2);
        w_.Put(0, 5);
    }

    void Picture(int type, int temporal_reference, int structure, bool second_field,
                 bool first_frame) {
        type_ = type;
        structure_ = structure;
        field_ = structure != kFramePicture;
        parity_ = structure == kBottomField ? 1 : 0;
        second_field_ = second_field;
        first_frame_ = first_frame;
        w_.StartCode(0x00);
        w_.Put(static_cast<uint32_t>(temporal_reference), 10);
        w_.Put(static_cast<uint32_t>(type), 3);
        w_.Put(0xFFFF, 16);
        if (type != kPictureI) w_.Put(0x7, 4); // full_pel 0, f_code 7
        if (type == kPictureB) w_.Put(0x7, 4);
        w_.Put(0, 1);
        w_.StartCode(0xB5);
        w_.Put(8, 4);
        const bool fwd = type != kPictureI || o_.concealment;
        const bool bwd = type == kPictureB;
        for (bool used : {fwd, fwd, bwd, bwd})
            w_.Put(used ? kFCode : 15, 4);
        w_.Put(0, 2); // intra_dc_precision 8 bits
        w_.Put(static_cast<uint32_t>(structure), 2);
        w_.Put(field_ ? 0 : (o_.top_field_first ? 1 : 0), 1);
        w_.Put(0, 1); // frame_pred_frame_dct
        w_.Put(o_.concealment ? 1 : 0, 1);
        w_.Put(0, 1); // q_scale_type
        w_.Put(o_.intra_vlc ? 1 : 0, 1);
        w_.Put(o_.alternate_scan ? 1 : 0, 1);
        w_.Put(0, 1);
        w_.Put(0, 1); // chroma_420_type
        w_.Put(0, 1); // progressive_frame
        w_.Put(0, 1);
        const int rows = field_ ? mb_h_ / 2 : mb_h_;
        for (int row = 0; row < rows; ++row)
            Slice(row);
    }

    int ViewHeight() const { return field_ ? mb_h_ * 8 : mb_h_ * 16; }

    // Is every sample of a w x h luma area at (x, y) moved by v inside a view of height vh, and
    // the matching chroma area too?
    bool Inside(int x, int y, int w, int h, Vec v, int vh) const {
        auto fits = [](int pos, int size, int vec, int limit) {
            const int start = pos + (vec >> 1);
            return start >= 0 && start + size + (vec & 1) <= limit;
        };
        const int width = mb_w_ * 16;
        if (!fits(x, w, v.x, width) || !fits(y, h, v.y, vh)) return false;
        const int cx = sx_ ? v.x / 2 : v.x, cy = sy_ ? v.y / 2 : v.y;
        return fits(x >> sx_, w >> sx_, cx, width >> sx_) &&
               fits(y >> sy_, h >> sy_, cy, vh >> sy_);
    }

    Vec RandomVector(int x, int y, int w, int h, int vh, int range) {
        for (int tries = 0; tries < 60; ++tries) {
            const Vec v{Rand(-range, range), Rand(-range, range)};
            if (Inside(x, y, w, h, v, vh)) return v;
        }
        return {};
    }

    static int Scaled(int v, int m) {
        const int p = v * m;
        return (p + (p > 0 ? 1 : 0)) >> 1;
    }

    void Slice(int row) {
        w_.StartCode(row + 1);
        q_ = 10;
        w_.Put(static_cast<uint32_t>(q_), 5);
        w_.Put(0, 1);
        ResetDc();
        ResetPmv();
        prev_intra_ = true;
        int skipped = 0;
        for (int col = 0; col < mb_w_; ++col) {
            const bool edge = col == 0 || col == mb_w_ - 1;
            if (!edge && type_ != kPictureI && Chance(25) && CanSkip(col, row)) {
                ++skipped;
                SkipEffects();
                continue;
            }
            w_.Code(CodeOfA(codes::kAddressIncrement, skipped + 1));
            skipped = 0;
            Macroblock(col, row);
        }
    }

    void ResetDc() { std::fill(dc_, dc_ + 3, 128); }
    void ResetPmv() {
        for (auto& r : pmv_) {
            for (auto& s : r)
                s = Vec{};
        }
    }

    bool CanSkip(int col, int row) {
        const int x = col * 16, y = row * 16;
        if (type_ == kPictureP) {
            // Same parity, zero vector: needs a field of that parity in the reference frame.
            return !(field_ && first_frame_);
        }
        if (prev_intra_) return false;
        for (int s = 0; s < 2; ++s) {
            if (!(s == 0 ? prev_fwd_ : prev_bwd_)) continue;
            if (!Inside(x, y, 16, 16, pmv_[0][s], ViewHeight())) return false;
        }
        return true;
    }

    void SkipEffects() {
        ResetDc();
        if (type_ == kPictureP) ResetPmv();
    }

    void Macroblock(int col, int row) {
        const int x = col * 16, y = row * 16;
        int flags = 0;
        if (type_ == kPictureI || Chance(12)) {
            flags = kMbIntra;
        } else if (type_ == kPictureP) {
            const int pick = Rand(0, 9);
            const bool no_same_parity = field_ && first_frame_;
            flags = (pick < 2 && !no_same_parity) ? kMbPattern : kMbForward;
            if (flags == kMbForward && Chance(60)) flags |= kMbPattern;
        } else {
            const int dir = Rand(0, 2);
            flags = dir == 0 ? kMbForward : dir == 1 ? kMbBackward : (kMbForward | kMbBackward);
            if (Chance(60)) flags |= kMbPattern;
        }
        if (Chance(15) && (flags & (kMbIntra | kMbPattern))) flags |= kMbQuant;
        // Every (flags) combination here has a code in the picture type's table.
        const auto& table = type_ == kPictureI   ? codes::kMbTypeI.data()
                            : type_ == kPictureP ? codes::kMbTypeP.data()
                                                 : codes::kMbTypeB.data();
        const size_t n = type_ == kPictureI   ? codes::kMbTypeI.size()
                         : type_ == kPictureP ? codes::kMbTypeP.size()
                                              : codes::kMbTypeB.size();
        const vlc::Code* code = nullptr;
        for (size_t i = 0; i < n; ++i) {
            if (table[i].a == flags) code = &table[i];
        }
        if (code == nullptr) {
            flags &= ~kMbQuant;
            for (size_t i = 0; i < n; ++i) {
                if (table[i].a == flags) code = &table[i];
            }
        }
        w_.Code(code->bits);
        const bool intra = flags & kMbIntra;
        int motion_type = field_ ? kField : kFrame;
        Vec mv[2][2];
        int select[2][2] = {};
        Vec dmvector;
        if (flags & (kMbForward | kMbBackward)) {
            motion_type = ChooseMotion(flags, x, y, mv, select, dmvector);
            w_.Put(static_cast<uint32_t>(motion_type), 2);
        }
        if (!field_ && (flags & (kMbIntra | kMbPattern))) w_.Put(Rand(0, 1), 1); // dct_type
        if (flags & kMbQuant) {
            q_ = Rand(4, o_.saturating_levels ? 31 : 12);
            w_.Put(static_cast<uint32_t>(q_), 5);
        }
        if (flags & kMbForward) Vectors(kFwd, motion_type, mv, select, dmvector);
        if (flags & kMbBackward) Vectors(kBwd, motion_type, mv, select, dmvector);
        if (intra && o_.concealment) {
            Vec c = RandomVector(x, y, 16, 16, ViewHeight(), 8);
            Vec cm[2][2] = {{c, {}}, {{}, {}}};
            int cs[2][2] = {{parity_, 0}, {0, 0}};
            Vectors(kFwd, field_ ? kField : kFrame, cm, cs, dmvector);
            w_.Put(1, 1);
        }
        if (intra) {
            if (!o_.concealment) ResetPmv();
        } else {
            ResetDc();
            if (type_ == kPictureP && !(flags & kMbForward)) ResetPmv();
        }
        prev_intra_ = intra;
        prev_fwd_ = flags & kMbForward;
        prev_bwd_ = flags & kMbBackward;
        int cbp = (1 << blocks_) - 1;
        if (!intra) {
            cbp = 0;
            if (flags & kMbPattern) {
                const int main = Rand(1, 63);
                const int extra = Rand(0, (1 << (blocks_ - 6)) - 1);
                w_.Code(CodeOfA(codes::kCodedBlockPattern, main));
                w_.Put(static_cast<uint32_t>(extra), blocks_ - 6);
                cbp = (main << (blocks_ - 6)) | extra;
            }
        }
        for (int b = 0; b < blocks_; ++b) {
            if (!(cbp & (1 << (blocks_ - 1 - b)))) continue;
            const int component = b < 4 ? 0 : 1 + (b & 1);
            if (intra) {
                IntraBlock(component, x, y, b);
            } else {
                NonIntraBlock();
            }
        }
    }

    // Picks motion type and vectors that keep every prediction inside its reference.
    int ChooseMotion(int flags, int x, int y, Vec mv[2][2], int select[2][2], Vec& dmvector) {
        const int vh = ViewHeight();
        const bool p_only_opposite = field_ && first_frame_; // the I field is the only reference
        int type = field_ ? kField : kFrame;
        const int pick = Rand(0, 2);
        if (pick == 1) type = field_ ? k16x8 : kField;
        if (pick == 2 && type_ == kPictureP && !p_only_opposite) type = kDual;
        for (int s = 0; s < 2; ++s) {
            if (!(flags & (s == 0 ? kMbForward : kMbBackward))) continue;
            if (type == kDual) {
                if (ChooseDualPrime(x, y, mv[0][0], dmvector)) continue;
                type = field_ ? kField : kFrame;
            }
            auto field_select = [&] { return p_only_opposite ? 1 - parity_ : Rand(0, 1); };
            if (field_ && type == kField) {
                select[0][s] = field_select();
                mv[0][s] = RandomVector(x, y, 16, 16, vh, 10);
            } else if (field_ && type == k16x8) {
                for (int r = 0; r < 2; ++r) {
                    select[r][s] = field_select();
                    mv[r][s] = RandomVector(x, y + 8 * r, 16, 8, vh, 10);
                }
            } else if (!field_ && type == kField) {
                for (int r = 0; r < 2; ++r) {
                    select[r][s] = Rand(0, 1);
                    mv[r][s] = RandomVector(x, y / 2, 16, 8, vh / 2, 10);
                }
            } else {
                mv[0][s] = RandomVector(x, y, 16, 16, vh, 10);
            }
        }
        return type;
    }

    bool ChooseDualPrime(int x, int y, Vec& mv, Vec& dmvector) {
        for (int tries = 0; tries < 60; ++tries) {
            const Vec v{Rand(-6, 6), Rand(-6, 6)};
            const Vec d{Rand(-1, 1), Rand(-1, 1)};
            bool ok = true;
            if (field_) {
                const Vec o{Scaled(v.x, 1) + d.x, Scaled(v.y, 1) + d.y + (parity_ ? 1 : -1)};
                ok = Inside(x, y, 16, 16, v, ViewHeight()) && Inside(x, y, 16, 16, o, ViewHeight());
            } else {
                const int mt = o_.top_field_first ? 1 : 3, mb = o_.top_field_first ? 3 : 1;
                const Vec top{Scaled(v.x, mt) + d.x, Scaled(v.y, mt) + d.y - 1};
                const Vec bottom{Scaled(v.x, mb) + d.x, Scaled(v.y, mb) + d.y + 1};
                const int fh = ViewHeight() / 2;
                ok = Inside(x, y / 2, 16, 8, v, fh) && Inside(x, y / 2, 16, 8, top, fh) &&
                     Inside(x, y / 2, 16, 8, bottom, fh);
            }
            if (ok) {
                mv = v;
                dmvector = d;
                return true;
            }
        }
        return false;
    }

    // Writes the vectors of one direction against the predictors and updates them.
    void Vectors(int s, int type, Vec mv[2][2], int select[2][2], Vec dmvector) {
        const bool field_format = field_ || type != kFrame;
        const bool dual = type == kDual;
        const int count = field_ ? (type == k16x8 ? 2 : 1) : (type == kField ? 2 : 1);
        const bool scale = field_format && !field_;
        for (int r = 0; r < count; ++r) {
            if (field_format && !dual) w_.Put(static_cast<uint32_t>(select[r][s]), 1);
            Vec& p = pmv_[r][s];
            const Vec v = mv[r][s];
            Component(v.x - p.x, dual, dmvector.x);
            Component(v.y - (scale ? p.y >> 1 : p.y), dual, dmvector.y);
            p = Vec{v.x, scale ? v.y * 2 : v.y};
        }
        if (count == 1) pmv_[1][s] = pmv_[0][s];
    }

    void Component(int delta, bool dual, int dm) {
        const int r_size = kFCode - 1, f = 1 << r_size;
        if (delta == 0) {
            w_.Code("1");
        } else {
            const int magnitude = std::abs(delta);
            const int code = (magnitude - 1) / f + 1;
            const int residual = (magnitude - 1) % f;
            for (const vlc::Code& c : codes::kMotionCode) {
                if (c.b == code) w_.Code(c.bits);
            }
            w_.Put(delta < 0 ? 1 : 0, 1);
            w_.Put(static_cast<uint32_t>(residual), r_size);
        }
        if (dual) w_.Code(dm == 0 ? "0" : dm > 0 ? "10" : "11");
    }

    void Coefficient(int run, int level, bool table_one, bool first_non_intra) {
        if (first_non_intra && run == 0 && std::abs(level) == 1) {
            w_.Put(level < 0 ? 3 : 2, 2);
            return;
        }
        const vlc::Code* c = table_one
                                 ? CodeOfRunLevel(codes::kCoefficientsOne, run, std::abs(level))
                                 : CodeOfRunLevel(codes::kCoefficientsZero, run, std::abs(level));
        if (c != nullptr) {
            w_.Code(c->bits);
            w_.Put(level < 0 ? 1 : 0, 1);
            return;
        }
        w_.Code("0000 01");
        w_.Put(static_cast<uint32_t>(run), 6);
        w_.Put(static_cast<uint32_t>(level) & 0xFFF, 12);
    }

    void AcCoefficients(bool table_one, bool non_intra, int count) {
        int index = non_intra ? -1 : 0;
        for (int i = 0; i < count; ++i) {
            const int run = Rand(0, 6);
            if (index + run + 1 > 63) break;
            index += run + 1;
            // Levels stay small enough that no decoder has to saturate a coefficient (where
            // decoders are known to differ), yet some runs still need the escape code.
            int level = Rand(1, Chance(10) ? (o_.saturating_levels ? 200 : 12) : 5);
            if (Chance(50)) level = -level;
            Coefficient(run, level, table_one, non_intra && i == 0);
        }
        w_.Code(table_one ? "0110" : "10");
    }

    void IntraBlock(int component, int x, int y, int b) {
        // A smooth picture with some texture: DC from the position, a few AC coefficients.
        const int target =
            std::clamp(60 + (x + y) / 2 + 25 * component + (b & 3) * 9 + Rand(-8, 8), 0, 255);
        const int diff = target - dc_[component];
        dc_[component] = target;
        int size = 0;
        for (int m = std::abs(diff); m > 0; m >>= 1)
            ++size;
        w_.Code(CodeOfA(component == 0 ? codes::kDcSizeLuma : codes::kDcSizeChroma, size));
        if (size > 0) {
            const int bits = diff > 0 ? diff : diff + (1 << size) - 1;
            w_.Put(static_cast<uint32_t>(bits), size);
        }
        AcCoefficients(o_.intra_vlc, false, Rand(0, 6));
    }

    void NonIntraBlock() { AcCoefficients(false, true, Rand(1, 4)); }

    static constexpr int kFCode = 2;
    SyntheticOptions o_;
    std::mt19937 rng_;
    BitWriter w_;
    int mb_w_ = 0, mb_h_ = 0, sx_ = 1, sy_ = 1, blocks_ = 6;
    int type_ = 1, structure_ = 3, parity_ = 0;
    bool field_ = false, second_field_ = false, first_frame_ = false;
    int q_ = 10;
    int dc_[3] = {128, 128, 128};
    Vec pmv_[2][2];
    bool prev_intra_ = true, prev_fwd_ = false, prev_bwd_ = false;
};

} // namespace

std::vector<uint8_t> MakeSyntheticStream(const SyntheticOptions& options) {
    return Generator(options).Run();
}

std::vector<uint8_t> MakeDPictureStream(int width, int height) {
    BitWriter w;
    w.StartCode(0xB3); // MPEG-1 sequence header, no extension follows
    w.Put(static_cast<uint32_t>(width), 12);
    w.Put(static_cast<uint32_t>(height), 12);
    w.Put(1, 4);
    w.Put(3, 4);
    w.Put(20000, 18);
    w.Put(1, 1);
    w.Put(20, 10);
    w.Put(0, 3); // constrained parameters, default matrices
    w.StartCode(0xB8);
    w.Put(0, 25);
    w.Put(1, 1);
    w.Put(0, 1);
    w.StartCode(0x00);
    w.Put(0, 10);
    w.Put(kPictureD, 3);
    w.Put(0xFFFF, 16);
    w.Put(0, 1);
    const int mb_w = (width + 15) / 16, mb_h = (height + 15) / 16;
    for (int row = 0; row < mb_h; ++row) {
        w.StartCode(row + 1);
        w.Put(8, 5);
        w.Put(0, 1);
        int dc[3] = {128, 128, 128};
        for (int col = 0; col < mb_w; ++col) {
            w.Code("1"); // address increment 1
            w.Code("1"); // intra
            for (int b = 0; b < 6; ++b) {
                const int component = b < 4 ? 0 : b - 3;
                const int target =
                    std::clamp(40 + 9 * col + 7 * row + 11 * (b & 3) + 30 * component, 0, 255);
                const int diff = target - dc[component];
                dc[component] = target;
                int size = 0;
                for (int m = std::abs(diff); m > 0; m >>= 1)
                    ++size;
                w.Code(CodeOfA(component == 0 ? codes::kDcSizeLuma : codes::kDcSizeChroma, size));
                if (size > 0) {
                    w.Put(static_cast<uint32_t>(diff > 0 ? diff : diff + (1 << size) - 1), size);
                }
            }
            w.Put(1, 1); // end_of_macroblock
        }
    }
    return w.Finish();
}

} // namespace quorin::decoder::test
