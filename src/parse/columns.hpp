// Columns: the parsed content of a stream as typed column buffers at three
// levels (observation, crystal, image), plus the image file names and events.
//
// The member names are the column names the host package uses, and the same
// names key the arrays handed to and taken from Python. Multi-valued columns are
// flat and row-major: `hkl` holds h0, k0, l0, h1, ... and `cell` six values per
// crystal. Rows are appended a whole level at a time, so the columns of a level
// always have the same number of rows.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/buffer.hpp"
#include "stream/column_table.hpp"

namespace qn {

#define QN_ROW_MEMBER(name, type, width, written_at) RowValue<type, width> name;

/// One reflection kept for a kept crystal, as stored.
struct ObservationRow {
  QN_OBSERVATION_COLUMNS(QN_ROW_MEMBER)
};

/// One kept crystal, in ångström units and degrees.
struct CrystalRow {
  QN_CRYSTAL_COLUMNS(QN_ROW_MEMBER)
};

/// The numeric values of one kept image.
struct ImageRow {
  QN_IMAGE_COLUMNS(QN_ROW_MEMBER)
};

#undef QN_ROW_MEMBER

/// A number of rows at each level.
struct RowCounts {
  std::size_t observations = 0;
  std::size_t crystals = 0;
  std::size_t images = 0;

  [[nodiscard]] std::size_t at(Level level) const noexcept {
    return level == Level::kObservation ? observations
           : level == Level::kCrystal   ? crystals
                                        : images;
  }
};

struct Columns {
#define QN_COLUMN_MEMBER(name, type, width, written_at) Buffer<type> name;
  QN_COLUMNS(QN_COLUMN_MEMBER)
#undef QN_COLUMN_MEMBER
  std::vector<std::string> filenames;
  std::vector<std::string> events;
  /// Where each row came from in the file, beside the columns rather than in them:
  /// per image the offset of its "Image filename:" line, per crystal its block, from
  /// the start of its "--- Begin crystal" line to just past its "--- End crystal" line
  /// (two values per crystal). Filled by the parser, joined like the strings.
  Buffer<std::int64_t> image_lines;
  Buffer<std::int64_t> crystal_blocks;

  /// Empty columns whose buffers have room for the given numbers of rows.
  /// Hints are not limits: the buffers grow when more rows arrive.
  static Columns with_capacity(std::size_t observations, std::size_t crystals, std::size_t images);

  /// Empty columns that write into rows [start, start + rows) of every column of
  /// `whole` (whose columns must hold that many rows already, e.g. through
  /// resize_rows_uninitialized()): a slice per unit, so that units parsed in parallel
  /// fill the joined result where it will stay. More rows than a slice holds move its
  /// column into storage of its own.
  static Columns slice_of(Columns& whole, RowCounts start, RowCounts rows);

  /// Sets every numeric column's size to `rows` rows of its level, uninitialised.
  void resize_rows_uninitialized(RowCounts rows);

  [[nodiscard]] std::size_t n_observations() const noexcept { return I.size(); }
  [[nodiscard]] std::size_t n_crystals() const noexcept { return n_refl.size(); }
  [[nodiscard]] std::size_t n_images() const noexcept { return beam_energy.size(); }

  /// Where the next observation rows go, for a caller that writes up to `room` of
  /// them with put() and then counts them with commit_observations(). Nothing may
  /// change the observation columns in between.
  struct ObservationSlots {
#define QN_SLOT_MEMBER(name, type, width, written_at) type* name;
    QN_OBSERVATION_COLUMNS(QN_SLOT_MEMBER)
#undef QN_SLOT_MEMBER
    std::size_t room;  ///< rows every observation column holds without growing

    /// Writes `row` as the i-th new row (i < room).
    void put(std::size_t i, const ObservationRow& row) const noexcept {
#define QN_PUT(name, type, width, written_at) put_value(name + i * (width), row.name);
      QN_OBSERVATION_COLUMNS(QN_PUT)
#undef QN_PUT
    }

   private:
    template <class T>
    static void put_value(T* at, const T& value) noexcept {
      *at = value;
    }
    template <class T, std::size_t Width>
    static void put_value(T* at, const T (&values)[Width]) noexcept {
      std::memcpy(at, values, sizeof values);
    }
  };
  [[nodiscard]] ObservationSlots observation_slots() noexcept {
    ObservationSlots s;
    s.room = SIZE_MAX;
#define QN_SLOT(name, type, width, written_at)                            \
  s.name = name.data() + name.size();                                     \
  s.room = std::min(s.room, (name.capacity() - name.size()) / (width));
    QN_OBSERVATION_COLUMNS(QN_SLOT)
#undef QN_SLOT
    return s;
  }
  /// Counts the first n rows written through observation_slots().
  void commit_observations(std::size_t n) noexcept {
#define QN_COMMIT(name, type, width, written_at) name.extend_written(n * (width));
    QN_OBSERVATION_COLUMNS(QN_COMMIT)
#undef QN_COMMIT
  }

  /// Inline: it runs once per reflection row.
  void append_observation(const ObservationRow& row) {
#define QN_APPEND(name, type, width, written_at) append_value(name, row.name);
    QN_OBSERVATION_COLUMNS(QN_APPEND)
  }
  void append_crystal(const CrystalRow& row) { QN_CRYSTAL_COLUMNS(QN_APPEND) }
  /// Appends an image row; the two strings are moved into `filenames` and `events`.
  void append_image(const ImageRow& row, std::string&& filename, std::string&& event) {
    // The strings go first: if either list cannot grow, no numeric column has
    // been touched and the level stays consistent.
    filenames.push_back(std::move(filename));
    events.push_back(std::move(event));
    QN_IMAGE_COLUMNS(QN_APPEND)
  }
#undef QN_APPEND

  /// Backs the room of every observation column with memory in one request per
  /// column (Buffer::prefault()).
  void prefault_observations() noexcept {
#define QN_PREFAULT(name, type, width, written_at) name.prefault();
    QN_OBSERVATION_COLUMNS(QN_PREFAULT)
#undef QN_PREFAULT
  }

  /// Cuts every observation column back to its first `n_rows` rows (n_rows <=
  /// n_observations()); used to roll back a crystal that could not be read whole.
  void truncate_observations(std::size_t n_rows) noexcept {
#define QN_TRUNCATE(name, type, width, written_at) name.truncate(width* n_rows);
    QN_OBSERVATION_COLUMNS(QN_TRUNCATE)
#undef QN_TRUNCATE
  }

  /// Overwrites the detector shift of an existing image row.
  void set_det_shift(std::size_t image_row, float x, float y) noexcept {
    det_shift_x[image_row] = x;
    det_shift_y[image_row] = y;
  }

  /// Calls f(name, buffer, values_per_row, level) for each numeric column in the
  /// table's order; `buffer` is a Buffer<T>& of the column's type.
  template <class F>
  void for_each_numeric(F&& f) {
#define QN_VISIT(name, type, width, level) f(std::string_view(#name), name, width, level);
#define QN_VISIT_OBSERVATION(name, type, width, written_at) \
  QN_VISIT(name, type, width, Level::kObservation)
#define QN_VISIT_CRYSTAL(name, type, width, written_at) QN_VISIT(name, type, width, Level::kCrystal)
#define QN_VISIT_IMAGE(name, type, width, written_at) QN_VISIT(name, type, width, Level::kImage)
    QN_OBSERVATION_COLUMNS(QN_VISIT_OBSERVATION)
    QN_CRYSTAL_COLUMNS(QN_VISIT_CRYSTAL)
    QN_IMAGE_COLUMNS(QN_VISIT_IMAGE)
#undef QN_VISIT
#undef QN_VISIT_OBSERVATION
#undef QN_VISIT_CRYSTAL
#undef QN_VISIT_IMAGE
  }

 private:
  template <class T>
  static void append_value(Buffer<T>& column, const T& value) {
    column.push_back(value);
  }
  template <class T, std::size_t Width>
  static void append_value(Buffer<T>& column, const T (&values)[Width]) {
    column.append(values, Width);
  }
};

}  // namespace qn
