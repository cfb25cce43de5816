// The chunk formatter.
//
// Each group of lines first asks the buffer for room enough for its longest possible
// text (numbers have bounded width; strings add their own length), then writes
// through a raw pointer: constant text is copied whole, numbers go straight from
// the formatting routines of fixed.hpp into the buffer.
//
// NaN never reaches a number routine: it is written as "nan", padded to the field's
// width, or "+nan" in the signed reciprocal-vector fields. Infinities are formatted
// as numbers ("inf", "-inf", "+inf").
#include "format.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fixed.hpp"

namespace qn {

namespace {

// Room for the fixed text of lines 1 to 15, without the file name and the event.
constexpr std::size_t kImageHeadRoom = 1024;
// Room for a crystal block's lines up to the reflection heading, without the
// unit-cell strings: at most 17 float fields, one double field and fixed text.
constexpr std::size_t kCrystalHeadRoom = 2048 + 17 * kMaxFloatFixedChars;
// Room for one reflection row without its panel name: 3 integers and 6 float fields.
constexpr std::size_t kRowRoom = 3 * 8 + 6 * (kMaxFloatFixedChars + 1) + 16;
constexpr std::size_t kTailRoom = 256;

template <std::size_t N>
inline char* put(char* p, const char (&text)[N]) noexcept {
  std::memcpy(p, text, N - 1);
  return p + (N - 1);
}

inline char* put(char* p, std::string_view text) noexcept {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// fixed p, padded to `width` (0: no padding); NaN as "nan".
inline char* put_fixed(char* p, float v, int precision, std::size_t width = 0) noexcept {
  char* end = std::isnan(v) ? put(p, "nan") : write_fixed(p, v, precision);
  return pad_left(p, end, width);
}

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

void format_crystal(TextBuffer& out, std::size_t image, std::size_t c, const WriteColumns& col,
                    const WriteText& text, const Layout& layout) {
  char* p = out.prepare(kCrystalHeadRoom + optional_size(text.lattice_type) +
                        optional_size(text.centering) + optional_size(text.unique_axis));
  p = put(p, "--- Begin crystal\nCell parameters ");
  const float* cell = &col.cell[6 * c];
  for (int k = 0; k < 3; ++k) {
    if (k > 0) *p++ = ' ';
    p = put_fixed(p, cell[k] / 10.0f, 5);  // Å to nm, in single precision
  }
  p = put(p, " nm, ");
  for (int k = 3; k < 6; ++k) {
    if (k > 3) *p++ = ' ';
    p = put_fixed(p, cell[k], 5);
  }
  p = put(p, " deg\n");
  p = put_vector_line(p, "astar =", &col.astar[3 * c]);
  p = put_vector_line(p, "bstar =", &col.bstar[3 * c]);
  p = put_vector_line(p, "cstar =", &col.cstar[3 * c]);
  p = put_optional_line(p, "lattice_type", text.lattice_type);
  p = put_optional_line(p, "centering", text.centering);
  p = put_optional_line(p, "unique_axis", text.unique_axis);
  p = put(p, "profile_radius = ");
  p = put_fixed(p, col.profile_rad[c] * 10.0f, 5);
  p = put(p,
          " nm^-1\n"
          "predict_refine/initial_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
          "predict_refine/final_residual = 0.000000 (0.000000 0.000000 0.000000)\n"
          "predict_refine/total_shifts = 0.000000e+00 0.000000e+00 0.000000e+00\n"
          "predict_refine/det_shift x = ");
  p = put_fixed(p, col.det_shift_x[image], 3);
  p = put(p, " y = ");
  p = put_fixed(p, col.det_shift_y[image], 3);
  p = put(p, " mm\ndiffraction_resolution_limit = ");
  const float resolution = col.resolution[c];
  // Zero, negative and NaN resolutions all state 0 as the reciprocal limit.
  const double q = resolution > 0.0f ? 10.0 / static_cast<double>(resolution) : 0.0;
  p = write_fixed_double(p, q, 2);
  p = put(p, " nm^-1 or ");
  p = put_fixed(p, resolution, 2);
  p = put(p, " A\nnum_reflections = ");
  p = put_int(p, col.n_refl[c]);
  p = put(p,
          "\nnum_saturated_reflections = 0\n"
          "num_implausible_reflections = 0\n"
          "Reflections measured after indexing\n"
          "   h    k    l          I   sigma(I)       peak background  fs/px  ss/px panel\n");
  out.commit(p);

  // One row per observation, laid out under the heading above.
  for (std::size_t o = layout.offsets[c]; o < layout.offsets[c + 1]; ++o) {
    const std::string& panel = text.panel_names[layout.panel_index[o]];
    p = out.prepare(kRowRoom + panel.size());
    for (int k = 0; k < 3; ++k) {
      p = put_int(p, col.hkl[3 * o + k], 4);
      *p++ = ' ';
    }
    p = put_fixed(p, col.I[o], 2, 10);
    *p++ = ' ';
    p = put_fixed(p, col.sigma[o], 2, 10);
    *p++ = ' ';
    p = put_fixed(p, col.peak[o], 2, 10);
    *p++ = ' ';
    p = put_fixed(p, col.background[o], 2, 10);  // the width of fs/px makes the gap
    p = put_fixed(p, col.fs[o], 1, 7);
    *p++ = ' ';
    p = put_fixed(p, col.ss[o], 1, 6);
    *p++ = ' ';
    p = put(p, panel);
    *p++ = '\n';
    out.commit(p);
  }

  p = out.prepare(kTailRoom);
  p = put(p, "End of reflections\n--- End crystal\n");
  out.commit(p);
}

}  // namespace

void format_image(TextBuffer& out, std::size_t image, const WriteColumns& col,
                  const WriteText& text, const Layout& layout) {
  const std::span<const std::size_t> crystals = layout.crystals_of(image);
  const std::string_view filename =
      image < text.filenames.size() ? std::string_view(text.filenames[image]) : std::string_view();
  const std::string_view event =
      image < text.events.size() ? std::string_view(text.events[image]) : std::string_view();
  const auto serial = static_cast<std::int64_t>(image);

  char* p = out.prepare(kImageHeadRoom + filename.size() + event.size());
  p = put(p, "----- Begin chunk -----\nImage filename: ");
  if (image < text.filenames.size()) {
    p = put(p, filename);
  } else {
    p = put(p, "image_");
    p = put_int(p, serial);
  }
  p = put(p, "\nEvent: ");
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
  p = put(p, "n_indexing_tries = 1\nphoton_energy_eV = ");
  p = put_fixed(p, col.beam_energy[image], 6);
  p = put(p,
          "\nbeam_divergence = 0.00e+00 rad\n"
          "beam_bandwidth = 1.00e-08 (fraction)\n"
          "average_camera_length = ");
  // camera_length alone may be shorter than the image count.
  p = image < col.camera_length.size() ? put_fixed(p, col.camera_length[image], 6)
                                       : put(p, "0.000000");
  p = put(p, " m\nnum_peaks = ");
  p = put_int(p, col.n_peaks[image]);
  p = put(p,
          "\nPeaks from peak search\n"
          "  fs/px   ss/px (1/d)/nm^-1   Intensity  Panel\n"
          "End of peak list\n");
  out.commit(p);

  for (const std::size_t c : crystals) format_crystal(out, image, c, col, text, layout);

  p = out.prepare(kTailRoom);
  p = put(p, "----- End chunk -----\n");
  out.commit(p);
}

}  // namespace qn
