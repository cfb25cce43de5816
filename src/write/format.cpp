// The chunk formatter.
//
// Each group of lines first asks the buffer for room enough for its longest possible
// text (numbers have bounded width; strings add their own length), then writes
// through a raw pointer: constant text is copied whole, numbers go straight from
// the formatting routines of fixed.hpp into the buffer. The reflection rows of a
// crystal share one request, sized from the crystal's row count, and take the
// fixed-column path of row.hpp.
//
// NaN never reaches a number routine: it is written as "nan", padded to the field's
// width, or "+nan" in the signed reciprocal-vector fields. Infinities are formatted
// as numbers ("inf", "-inf", "+inf").
#include "write/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "stream/vocabulary.hpp"
#include "write/fixed.hpp"
#include "write/row.hpp"

namespace qn {

namespace {

using namespace vocabulary;

// Room for lines 1 to 15 without the file name and the event: under 400 characters
// of fixed text, the image number up to three times, two float fields and an int32.
// The room asked for is also the estimate that sizes the batch buffers, so it is a
// bound with a modest margin rather than a generous round number.
constexpr std::size_t kImageHeadRoom = 400 + 3 * 20 + 2 * kMaxFloatFixedChars + 11 + 64;
// The reciprocal resolution 10 / r for a float32 r > 0 stays below 10 / 2^-149 < 10^46:
// at most 46 digits, the point and 2 decimals.
constexpr std::size_t kMaxReciprocalChars = 46 + 1 + 2;
// Room for a crystal block's lines up to the reflection heading, without the
// unit-cell strings: under 800 characters of fixed text, 17 float fields, the
// reciprocal resolution and an int32.
constexpr std::size_t kCrystalHeadRoom =
    800 + 17 * kMaxFloatFixedChars + kMaxReciprocalChars + 11 + 64;
// Room for "End of reflections", "--- End crystal" or "----- End chunk -----".
constexpr std::size_t kTailRoom = 64;

template <std::size_t N>
inline char* put(char* p, const char (&text)[N]) noexcept {
  std::memcpy(p, text, N - 1);
  return p + (N - 1);
}

inline char* put(char* p, std::string_view text) noexcept {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// A marker and its line feed.
inline char* put_line(char* p, std::string_view marker) noexcept {
  p = put(p, marker);
  *p++ = '\n';
  return p;
}

// "key = ".
inline char* put_key(char* p, std::string_view key) noexcept { return put(put(p, key), " = "); }

// signed fixed p; NaN as "+nan".
inline char* put_signed_fixed(char* p, float v, int precision) noexcept {
  if (std::isnan(v)) return put(p, "+nan");
  if (!std::signbit(v)) *p++ = '+';
  return write_fixed(p, v, precision);
}

inline char* put_int(char* p, std::int64_t v, std::size_t width = 0) noexcept {
  return pad_left(p, write_int(p, v), width);
}

inline char* put_vector_line(char* p, const char (&key)[8], const float* v) noexcept {
  p = put(p, key);
  for (int k = 0; k < 3; ++k) {
    *p++ = ' ';
    p = put_signed_fixed(p, v[k] * 10.0f, 7);  // Å⁻¹ to nm⁻¹, in single precision
  }
  return put(p, " nm^-1\n");
}

inline std::size_t optional_size(const std::optional<std::string>& s) noexcept {
  return s ? s->size() + 32 : 0;
}

inline char* put_optional_line(char* p, std::string_view key,
                               const std::optional<std::string>& value) noexcept {
  if (!value) return p;
  p = put(p, key);
  p = put(p, " = ");
  p = put(p, *value);
  *p++ = '\n';
  return p;
}

}  // namespace

void ChunkFormatter::format_crystal(TextBuffer& out, std::size_t image, std::size_t c) const {
  const WriteColumns& col = col_;
  const WriteText& text = text_;
  char* p = out.prepare(crystal_head_room());
  p = put_line(p, kBeginCrystal);
  p = put(p, "Cell parameters ");
  const float* cell = &col.cell[6 * c];
  for (int k = 0; k < 3; ++k) {
    if (k > 0) *p++ = ' ';
    p = write_fixed_field(p, cell[k] / 10.0f, 5);  // Å to nm, in single precision
  }
  p = put(p, " nm, ");
  for (int k = 3; k < 6; ++k) {
    if (k > 3) *p++ = ' ';
    p = write_fixed_field(p, cell[k], 5);
  }
  p = put(p, " deg\n");
  p = put_vector_line(p, "astar =", &col.astar[3 * c]);
  p = put_vector_line(p, "bstar =", &col.bstar[3 * c]);
  p = put_vector_line(p, "cstar =", &col.cstar[3 * c]);
  p = put_optional_line(p, "lattice_type", text.lattice_type);
  p = put_optional_line(p, "centering", text.centering);
  p = put_optional_line(p, "unique_axis", text.unique_axis);
  p = put_key(p, kProfileRadius);
  p = write_fixed_field(p, col.profile_rad[c] * 10.0f, 5);
  p = put(p,
          " nm^-1\n"
          "predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
          "predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
          "predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00\n"
          "predict_refine/det_shift x = ");
  p = write_fixed_field(p, col.det_shift_x[image], 3);
  p = put(p, " y = ");
  p = write_fixed_field(p, col.det_shift_y[image], 3);
  p = put(p, " mm\n");
  p = put_key(p, kResolutionLimit);
  const float resolution = col.resolution[c];
  // Zero, negative and NaN resolutions all state 0 as the reciprocal limit.
  const double q = resolution > 0.0f ? 10.0 / static_cast<double>(resolution) : 0.0;
  p = std::to_chars(p, p + kMaxReciprocalChars, q, std::chars_format::fixed, 2).ptr;
  p = put(p, " nm^-1 or ");
  p = write_fixed_field(p, resolution, 2);
  p = put(p, " A\nnum_reflections = ");
  p = put_int(p, col.n_refl[c]);
  p = put(p,
          "\nnum_saturated_reflections = 0\n"
          "num_implausible_reflections = 0\n");
  p = put_line(p, kReflectionsMeasured);
  p = put(p, "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel\n");
  out.commit(p);

  // One row per observation, laid out under the heading above. One request covers
  // every row that takes the fixed-column path; a row that does not asks again.
  const std::size_t first = layout_.offsets[c];
  const std::size_t last = layout_.offsets[c + 1];
  p = out.prepare(rows_room(last - first));
  // The rows write through a char pointer, which may alias anything the formatter
  // holds: the column pointers are taken into locals first, or they would be read
  // again from the views for every row.
  const std::int16_t* const hkl = col.hkl.data();
  const std::int16_t* const panel_id = col.panel_id.data();
  const float* const intensity = col.I.data();
  const float* const sigma = col.sigma.data();
  const float* const peak = col.peak.data();
  const float* const background = col.background.data();
  const float* const fs = col.fs.data();
  const float* const ss = col.ss.data();
  const PanelCell* const panels = panels_.data();
  const Layout& layout = layout_;
  const auto row_at = [&](std::size_t o) {
    return RowValues{hkl[3 * o], hkl[3 * o + 1], hkl[3 * o + 2], intensity[o], sigma[o],
                     peak[o],    background[o],  fs[o],          ss[o]};
  };
  for (std::size_t o = first; o < last; ++o) {
    if (write_row_columns(p, row_at(o))) {
      p += kRowColumns;
    } else {
      // The values are read again here: the general path takes them from memory, and
      // a copy made for it before the fast path would be made for every row.
      out.commit(p);
      p = out.prepare(kMaxRowChars + row_reach_ + rows_room(last - o - 1));
      const RowValues v = row_at(o);
      p = write_row_general(p, v);
    }
    const std::size_t panel = layout.panel_position(panel_id[o]);
    const PanelCell& panel_cell = panels[panel];
    if (panel_cell.size != 0) {
      std::memcpy(p, panel_cell.text, sizeof panel_cell.text);
      p += panel_cell.size;
    } else {
      p = put(p, text.panel_names[panel]);
      *p++ = '\n';
    }
  }
  out.commit(p);

  p = out.prepare(kTailRoom);
  p = put_line(p, kEndOfReflections);
  p = put_line(p, kEndCrystal);
  out.commit(p);
}

ChunkFormatter::ChunkFormatter(const WriteColumns& columns, const WriteText& text,
                               const Layout& layout)
    : col_(columns), text_(text), layout_(layout), panels_(text.panel_names.size()) {
  std::size_t longest = 0;  // of the names that rows write
  for (std::size_t j = 0; j < panels_.size(); ++j) {
    const std::string& name = text.panel_names[j];
    PanelCell& cell = panels_[j];
    std::memset(cell.text, 0, sizeof cell.text);
    if (name.size() < sizeof cell.text) {
      std::memcpy(cell.text, name.data(), name.size());
      cell.text[name.size()] = '\n';
      cell.size = static_cast<std::uint8_t>(name.size() + 1);
    } else {
      cell.size = 0;
    }
    const bool used = j < layout.panel_used.size() && layout.panel_used[j] != 0;
    if (used && name.size() > longest) longest = name.size();
  }
  row_step_ = kRowColumns + longest + 1;
  const std::size_t cell_reach = sizeof(PanelCell::text);  // a short name copies the whole cell
  row_reach_ = kRowColumns + (longest + 1 > cell_reach ? longest + 1 : cell_reach);
}

std::size_t ChunkFormatter::rows_room(std::size_t n_rows) const noexcept {
  return n_rows == 0 ? 0 : (n_rows - 1) * row_step_ + row_reach_;
}

std::size_t ChunkFormatter::crystal_head_room() const noexcept {
  return kCrystalHeadRoom + optional_size(text_.lattice_type) + optional_size(text_.centering) +
         optional_size(text_.unique_axis);
}

std::size_t ChunkFormatter::room_for(std::size_t first, std::size_t last) const noexcept {
  // The sum of the room format_image() asks for, request by request.
  std::size_t room = 0;
  for (std::size_t m = first; m < last; ++m) {
    room += kImageHeadRoom + kTailRoom;
    if (m < text_.filenames.size()) room += text_.filenames[m].size();
    if (m < text_.events.size()) room += text_.events[m].size();
    for (const std::size_t c : layout_.crystals_of(m)) {
      room +=
          crystal_head_room() + kTailRoom + rows_room(layout_.offsets[c + 1] - layout_.offsets[c]);
    }
  }
  return room;
}

void ChunkFormatter::format_image(TextBuffer& out, std::size_t image) const {
  const WriteColumns& col = col_;
  const WriteText& text = text_;
  const std::span<const std::size_t> crystals = layout_.crystals_of(image);
  const std::string_view filename =
      image < text.filenames.size() ? std::string_view(text.filenames[image]) : std::string_view();
  const std::string_view event =
      image < text.events.size() ? std::string_view(text.events[image]) : std::string_view();
  const auto serial = static_cast<std::int64_t>(image);

  char* p = out.prepare(kImageHeadRoom + filename.size() + event.size());
  p = put_line(p, kBeginChunk);
  p = put(p, kImageFilename);
  *p++ = ' ';
  if (image < text.filenames.size()) {
    p = put(p, filename);
  } else {
    p = put(p, "image_");
    p = put_int(p, serial);
  }
  *p++ = '\n';
  p = put(p, kEvent);
  *p++ = ' ';
  if (image < text.events.size()) {
    p = put(p, event);
  } else {
    p = put(p, "//");
    p = put_int(p, serial);
  }
  p = put(p, "\nImage serial number: ");
  p = put_int(p, serial);
  p = crystals.empty() ? put(p, "\nhit = 1\nindexed_by = none\n")
                       : put(p, "\nhit = 1\nindexed_by = xgandalf\n");
  p = put(p, "n_indexing_tries = 1\n");
  p = put_key(p, kPhotonEnergy);
  p = write_fixed_field(p, col.beam_energy[image], 6);
  p = put(p,
          "\nbeam_divergence = 0.00e+00 rad\n"
          "beam_bandwidth = 1.00e-08 (fraction)\n");
  p = put_key(p, kCameraLength);
  // camera_length alone may be shorter than the image count.
  p = image < col.camera_length.size() ? write_fixed_field(p, col.camera_length[image], 6)
                                       : put(p, "0.000000");
  p = put(p, " m\n");
  p = put_key(p, kNumPeaks);
  p = put_int(p, col.n_peaks[image]);
  *p++ = '\n';
  p = put_line(p, kPeaksFromSearch);
  p = put(p, "  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel\n");
  p = put_line(p, kEndOfPeakList);
  out.commit(p);

  for (const std::size_t c : crystals) format_crystal(out, image, c);

  p = out.prepare(kTailRoom);
  p = put_line(p, kEndChunk);
  out.commit(p);
}

}  // namespace qn
