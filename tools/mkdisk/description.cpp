// The JSON description of a test disk (see README.md beside this file).
#include <charconv>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bytes.h"
#include "testdisk.h"

namespace quorin::testdisk {
namespace {

using detail::Ok;
using detail::Status;
using json = nlohmann::json;

struct Context {
    std::filesystem::path baseDir;
    std::string where; // e.g. "clips[2].loops"
};

Error Bad(const Context& c, const std::string& what) {
    return Error{c.where + ": " + what};
}

Expected<std::int64_t> Integer(const json& v, const Context& c, std::int64_t lo, std::int64_t hi) {
    if (!v.is_number_integer()) return Bad(c, "expected an integer");
    const auto x = v.get<std::int64_t>();
    if (x < lo || x > hi)
        return Bad(c, "must lie between " + std::to_string(lo) + " and " + std::to_string(hi));
    return x;
}

Expected<std::string> Text(const json& v, const Context& c) {
    if (!v.is_string()) return Bad(c, "expected a string");
    return v.get<std::string>();
}

bool IsAuto(const json& v) {
    return v.is_string() && v.get<std::string>() == "auto";
}

// "a<sep>b<sep>c" with `minParts` to `maxParts` decimal parts.
Expected<std::vector<int>> Numbers(const json& v, const Context& c, char sep, std::size_t minParts,
                                   std::size_t maxParts) {
    auto text = Text(v, c);
    if (!text) return Error{text.error()};
    std::vector<int> parts;
    const char* p = text->data();
    const char* end = p + text->size();
    while (true) {
        int n = 0;
        auto [next, ec] = std::from_chars(p, end, n);
        if (ec != std::errc{} || n < 0) return Bad(c, "malformed \"" + *text + "\"");
        parts.push_back(n);
        if (next == end) break;
        if (*next != sep) return Bad(c, "malformed \"" + *text + "\"");
        p = next + 1;
    }
    if (parts.size() < minParts || parts.size() > maxParts)
        return Bad(c, "malformed \"" + *text + "\"");
    return parts;
}

Expected<std::int64_t> Pts(const json& v, const Context& c) {
    if (!v.is_string()) return Integer(v, c, 0, kPtsModulo - 1);
    const std::string s = v.get<std::string>();
    const bool hex = s.starts_with("0x") || s.starts_with("0X");
    std::int64_t x = 0;
    auto [next, ec] =
        std::from_chars(s.data() + (hex ? 2 : 0), s.data() + s.size(), x, hex ? 16 : 10);
    if (ec != std::errc{} || next != s.data() + s.size() || x < 0 || x >= kPtsModulo)
        return Bad(c, "expected a time stamp below 2^33 (integer or \"0x...\")");
    return x;
}

Expected<std::optional<int>> CountOrAuto(const json& v, const Context& c) {
    if (IsAuto(v)) return std::optional<int>{};
    auto x = Integer(v, c, 0, kMaxCluster);
    if (!x) return Error{x.error()};
    return std::optional<int>{static_cast<int>(*x)};
}

Expected<std::vector<int>> Chain(const json& v, const Context& c) {
    if (IsAuto(v)) return std::vector<int>{};
    if (!v.is_array() || v.empty()) return Bad(c, "expected \"auto\" or a list of cluster numbers");
    std::vector<int> chain;
    for (const auto& e : v) {
        auto x = Integer(e, c, 1, kMaxCluster);
        if (!x) return Error{x.error()};
        chain.push_back(static_cast<int>(*x));
    }
    return chain;
}

Expected<std::optional<int>> Length(const json& v, const Context& c) {
    if (IsAuto(v)) return std::optional<int>{};
    if (v.is_number_integer()) {
        auto x = Integer(v, c, 0, 127 * 3600 + 3599);
        if (!x) return Error{x.error()};
        return std::optional<int>{static_cast<int>(*x)};
    }
    auto hms = Numbers(v, c, ':', 3, 3);
    if (!hms) return Bad(c, "expected \"auto\", seconds or \"H:MM:SS\"");
    return std::optional<int>{((*hms)[0] * 60 + (*hms)[1]) * 60 + (*hms)[2]};
}

template <class Enum>
Expected<Enum> Choice(const json& v, const Context& c, const std::map<std::string, Enum>& names) {
    auto text = Text(v, c);
    if (!text) return Error{text.error()};
    if (auto it = names.find(*text); it != names.end()) return it->second;
    std::string list;
    for (const auto& [name, value] : names)
        list += (list.empty() ? "" : ", ") + name;
    return Bad(c, "expected one of " + list);
}

// Every key must be known; keys starting with '_' are comments.
template <class Target> using Field = Status (*)(const json&, Target&, const Context&);

template <class Target>
Status ReadObject(const json& obj, Target& target, const Context& c,
                  const std::map<std::string, Field<Target>>& fields) {
    if (!obj.is_object()) return Bad(c, "expected an object");
    for (const auto& [key, value] : obj.items()) {
        if (key.starts_with("_")) continue;
        const Context field{c.baseDir, c.where + (c.where.empty() ? "" : ".") + key};
        auto it = fields.find(key);
        if (it == fields.end()) return Bad(field, "unknown field");
        if (auto st = it->second(value, target, field); !st) return st;
    }
    return Ok();
}

// Assigns the value of an Expected to `out`, or passes its error on.
template <class T, class U> Status Set(Expected<T> value, U& out) {
    if (!value) return Error{value.error()};
    out = static_cast<U>(*value);
    return Ok();
}

Status ReadDamage(const json& value, Damage& damage, const Context& context) {
    static const std::map<std::string, Field<Damage>> fields = {
        {"stream",
         [](const json& v, Damage& d, const Context& c) {
             return Set(Choice<StreamKind>(
                            v, c, {{"video", StreamKind::Video}, {"audio", StreamKind::Audio}}),
                        d.stream);
         }},
        {"kind",
         [](const json& v, Damage& d, const Context& c) {
             return Set(Choice<DamageKind>(v, c,
                                           {{"start_code", DamageKind::StartCode},
                                            {"header", DamageKind::Header},
                                            {"truncate", DamageKind::Truncate},
                                            {"zero", DamageKind::Zero}}),
                        d.kind);
         }},
        {"packet",
         [](const json& v, Damage& d, const Context& c) {
             return Set(Integer(v, c, 0, INT64_MAX), d.packet.emplace());
         }},
        {"offset", [](const json& v, Damage& d,
                      const Context& c) { return Set(Integer(v, c, 0, INT64_MAX), d.offset); }},
        {"length", [](const json& v, Damage& d,
                      const Context& c) { return Set(Integer(v, c, 0, INT64_MAX), d.length); }},
    };
    if (!value.is_object() || !value.contains("kind"))
        return Bad(context, "expected an object with a \"kind\"");
    return ReadObject(value, damage, context, fields);
}

Status ReadSkipIndex(const json& v, ClipSpec& clip, const Context& c) {
    if (!v.is_array() || v.size() > kSkipPairs)
        return Bad(c, "expected up to 10 [start, stop] pairs");
    for (const auto& pair : v) {
        if (!pair.is_array() || pair.size() != 2) return Bad(c, "expected [start, stop] pairs");
        auto start = Integer(pair[0], c, 0, 0xFFFF);
        auto stop = Integer(pair[1], c, 0, 0xFFFF);
        if (!start || !stop) return Error{!start ? start.error() : stop.error()};
        clip.skipIndex.emplace_back(static_cast<std::uint16_t>(*start),
                                    static_cast<std::uint16_t>(*stop));
    }
    return Ok();
}

std::filesystem::path Resolve(const Context& c, const std::string& file) {
    const std::filesystem::path p(file);
    return p.is_absolute() ? p : c.baseDir / p;
}

const std::map<std::string, Field<ClipSpec>>& ClipFields() {
    static const std::map<std::string, Field<ClipSpec>> fields = {
        {"station",
         [](const json& v, ClipSpec& s, const Context& c) { return Set(Text(v, c), s.station); }},
        {"name",
         [](const json& v, ClipSpec& s, const Context& c) { return Set(Text(v, c), s.name); }},
        {"date",
         [](const json& v, ClipSpec& s, const Context& c) {
             auto ymd = Numbers(v, c, '-', 3, 3);
             if (!ymd) return Status{Error{ymd.error() + " (expected YYYY-MM-DD)"}};
             s.year = (*ymd)[0], s.month = (*ymd)[1], s.day = (*ymd)[2];
             return Ok();
         }},
        {"start_time",
         [](const json& v, ClipSpec& s, const Context& c) {
             auto hms = Numbers(v, c, ':', 2, 3);
             if (!hms) return Status{Error{hms.error() + " (expected HH:MM or HH:MM:SS)"}};
             s.hour = (*hms)[0], s.minute = (*hms)[1], s.second = hms->size() > 2 ? (*hms)[2] : 0;
             return Ok();
         }},
        {"length", [](const json& v, ClipSpec& s,
                      const Context& c) { return Set(Length(v, c), s.lengthSeconds); }},
        {"skip_index", ReadSkipIndex},
        {"video",
         [](const json& v, ClipSpec& s, const Context& c) {
             auto file = Text(v, c);
             if (file) s.videoFile = Resolve(c, *file);
             return file ? Ok() : Status{Error{file.error()}};
         }},
        {"audio",
         [](const json& v, ClipSpec& s, const Context& c) {
             auto file = Text(v, c);
             if (file) s.audioFile = Resolve(c, *file);
             return file ? Ok() : Status{Error{file.error()}};
         }},
        {"audio_codec",
         [](const json& v, ClipSpec& s, const Context& c) {
             return Set(Choice<AudioCodec>(v, c,
                                           {{"auto", AudioCodec::Auto},
                                            {"mp2", AudioCodec::MpegAudio},
                                            {"mpeg", AudioCodec::MpegAudio},
                                            {"ac3", AudioCodec::Ac3}}),
                        s.audioCodec);
         }},
        {"first_pts",
         [](const json& v, ClipSpec& s, const Context& c) { return Set(Pts(v, c), s.firstPts); }},
        {"audio_offset_ms",
         [](const json& v, ClipSpec& s, const Context& c) {
             auto ms = Integer(v, c, -60'000, 60'000);
             if (ms) s.audioOffsetTicks = *ms * (kPtsClock / 1000);
             return ms ? Ok() : Status{Error{ms.error()}};
         }},
        {"video_clusters", [](const json& v, ClipSpec& s,
                              const Context& c) { return Set(Chain(v, c), s.videoClusters); }},
        {"audio_clusters", [](const json& v, ClipSpec& s,
                              const Context& c) { return Set(Chain(v, c), s.audioClusters); }},
        {"video_start_sector",
         [](const json& v, ClipSpec& s, const Context& c) {
             return Set(Integer(v, c, 0, kClusterSectors - 1), s.videoStartSector);
         }},
        {"audio_start_sector",
         [](const json& v, ClipSpec& s, const Context& c) {
             return Set(Integer(v, c, 0, kClusterSectors - 1), s.audioStartSector);
         }},
        {"layout",
         [](const json& v, ClipSpec& s, const Context& c) {
             return Set(Choice<RecordLayout>(v, c,
                                             {{"new", RecordLayout::Working},
                                              {"working", RecordLayout::Working},
                                              {"old", RecordLayout::Old}}),
                        s.layout);
         }},
        {"loops", [](const json& v, ClipSpec& s,
                     const Context& c) { return Set(Integer(v, c, 1, 100'000), s.loops); }},
        {"deleted",
         [](const json& v, ClipSpec& s, const Context& c) {
             return Set(Choice<Deletion>(v, c,
                                         {{"no", Deletion::None},
                                          {"cleared", Deletion::Cleared},
                                          {"linked", Deletion::Linked}}),
                        s.deleted);
         }},
        {"scatter",
         [](const json& v, ClipSpec& s, const Context& c) {
             if (!v.is_boolean()) return Status{Bad(c, "expected true or false")};
             s.scatter = v.get<bool>();
             return Ok();
         }},
        {"damage",
         [](const json& v, ClipSpec& s, const Context& c) {
             if (!v.is_array()) return Status{Bad(c, "expected a list")};
             for (std::size_t i = 0; i < v.size(); ++i) {
                 const Context item{c.baseDir, c.where + "[" + std::to_string(i) + "]"};
                 if (auto st = ReadDamage(v[i], s.damage.emplace_back(), item); !st) return st;
             }
             return Ok();
         }},
    };
    return fields;
}

Status ReadClips(const json& v, DiskSpec& disk, const Context& c) {
    if (!v.is_array()) return Bad(c, "expected a list of clips");
    for (std::size_t i = 0; i < v.size(); ++i) {
        const Context item{c.baseDir, "clips[" + std::to_string(i) + "]"};
        if (auto st = ReadObject(v[i], disk.clips.emplace_back(), item, ClipFields()); !st)
            return st;
    }
    return Ok();
}

const std::map<std::string, Field<DiskSpec>>& DiskFields() {
    static const std::map<std::string, Field<DiskSpec>> fields = {
        {"label",
         [](const json& v, DiskSpec& d, const Context& c) { return Set(Text(v, c), d.label); }},
        {"pad_label",
         [](const json& v, DiskSpec& d, const Context& c) {
             if (!v.is_boolean()) return Status{Bad(c, "expected true or false")};
             d.padLabel = v.get<bool>();
             return Ok();
         }},
        {"used_clusters", [](const json& v, DiskSpec& d,
                             const Context& c) { return Set(CountOrAuto(v, c), d.usedClusters); }},
        {"free_clusters", [](const json& v, DiskSpec& d,
                             const Context& c) { return Set(CountOrAuto(v, c), d.freeClusters); }},
        {"short",
         [](const json& v, DiskSpec& d, const Context& c) {
             if (!v.is_boolean()) return Status{Bad(c, "expected true or false")};
             d.shortImage = v.get<bool>();
             return Ok();
         }},
        {"seed", [](const json& v, DiskSpec& d,
                    const Context& c) { return Set(Integer(v, c, 0, UINT32_MAX), d.seed); }},
        {"allocation",
         [](const json& v, DiskSpec& d, const Context& c) {
             return Set(Choice<ChainOrder>(v, c,
                                           {{"shuffled", ChainOrder::Shuffled},
                                            {"sequential", ChainOrder::Sequential}}),
                        d.allocation);
         }},
        {"free_fill",
         [](const json& v, DiskSpec& d, const Context& c) {
             return Set(Choice<FreeFill>(v, c,
                                         {{"none", FreeFill::None},
                                          {"noise", FreeFill::Noise},
                                          {"zeros", FreeFill::Zeros}}),
                        d.freeFill);
         }},
        {"free_fill_bytes",
         [](const json& v, DiskSpec& d, const Context& c) {
             return Set(Integer(v, c, 1, kClusterBytes / 2), d.freeFillBytes.emplace());
         }},
        {"clips", ReadClips},
    };
    return fields;
}

} // namespace

Expected<DiskSpec> ParseDescription(std::string_view text,
                                    const std::filesystem::path& baseDir) try {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        return Error{std::string("malformed JSON: ") + e.what()};
    }
    DiskSpec desc;
    if (auto st = ReadObject(root, desc, Context{baseDir, ""}, DiskFields()); !st)
        return Error{st.error()};
    return desc;
} catch (const std::exception& e) {
    return Error{std::string("reading the description failed: ") + e.what()};
}

Expected<DiskSpec> LoadDescription(const std::filesystem::path& file) try {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Error{"cannot open " + file.string()};
    std::ostringstream text;
    text << in.rdbuf();
    auto desc = ParseDescription(text.str(), file.parent_path());
    if (!desc) return Error{file.string() + ": " + desc.error()};
    return desc;
} catch (const std::exception& e) {
    return Error{std::string("reading the description failed: ") + e.what()};
}

} // namespace quorin::testdisk
