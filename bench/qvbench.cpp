// Benchmark of the engine on generated data.
//
//   qvbench generate N FILE   writes N cases: factors a, b, c with 4, 5 and 6 levels, covariate x,
//                             dependent y (deterministic: the same N gives the same file)
//   qvbench read FILE [T]     opens the data and reads every case once (the baseline)
//   qvbench analyse FILE [T]  runs the full-factorial Type III analysis of y BY a b c WITH x
//                             (T: threads that read the data and run the passes over the
//                             cases; default the cores available)
//   qvbench generate-wide N FILE   writes N cases over factors a and b with 40 and 50 levels
//                             (every one of the 2 000 cells observed once N >= 2 000)
//   qvbench emmeans FILE      the full factorial y BY a b with the marginal means of all 2 000
//                             cells, compared over the 50 levels of b within each level of a
//                             (40 x 50 x 49 comparisons), the output rendered as JSON
//   qvbench generate-factorial8 FILE   40 cases over eight two-level factors f1..f8
//   qvbench generate-oneway L N FILE   N cases over one factor g with L levels (each level
//                             visited in turn, so every level holds N / L cases)
//   qvbench generate-twoway N FILE     N cases over factors a and b with 200 and 300 levels
//   qvbench large factorial8|oneway|comparisons|twoway|wide FILE   the analysis of such a file, rendered as
//                             text: factorial8 the full factorial of the eight factors; oneway
//                             y BY g with descriptives, parameter estimates, effect sizes and
//                             Levene's test; twoway the full factorial y BY a b, Type III; wide
//                             (a generate-wide file, 40 x 50) the same with parameter estimates;
//                             comparisons (a generate-oneway file) parameter estimates, the
//                             marginal means of g with all their pairwise comparisons and the
//                             Scheffe and S-N-K post hoc tests: tables of L (L - 1) rows
//
//   qvbench scan FILE         the CSV scanner alone over the whole file (records and fields)
//   qvbench numbers FILE      number conversion alone: the first 32 MiB of the file's fields,
//                             held in memory, converted by our parser, by std::from_chars and
//                             (where installed) by the fast_float library
//
// Each mode prints one line of key=value pairs: cases, seconds, cpu_seconds, cases_per_second,
// peak_rss_mib (numbers: nanoseconds a field for each parser).
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if __has_include(<fast_float/fast_float.h>)
#include <fast_float/fast_float.h>
#define QV_BENCH_FAST_FLOAT 1
#endif

#include "data/case_blocks.h"
#include "driver/qvtctl.h"
#include "host/context.h"
#include "host/data/case_stream.h"
#include "host/data/csv_scanner.h"
#include "host/output/render.h"

namespace {

// splitmix64: a small, well-mixed deterministic generator.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double normal() {
    double u1 = uniform(), u2 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
};

double peakRssMib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

int generate(long n, const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::perror(path);
    return 2;
  }
  Rng rng{20261208};
  std::fprintf(f, "a,b,c,x,y\n");
  for (long i = 0; i < n; ++i) {
    int a = static_cast<int>(rng.next() % 4) + 1;
    int b = static_cast<int>(rng.next() % 5) + 1;
    int c = static_cast<int>(rng.next() % 6) + 1;
    double x = std::round((50.0 + 10.0 * rng.normal()) * 100.0) / 100.0;
    double y = 20.0 + 1.5 * a - 0.8 * b + 0.3 * c + 0.1 * a * b + 0.25 * x + 2.0 * rng.normal();
    std::fprintf(f, "%d,%d,%d,%.2f,%.3f\n", a, b, c, x, std::round(y * 1000.0) / 1000.0);
  }
  std::fclose(f);
  return 0;
}

int generateWide(long n, const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::perror(path);
    return 2;
  }
  Rng rng{20261209};
  std::fprintf(f, "a,b,y\n");
  for (long i = 0; i < n; ++i) {
    // The first 2 000 cases visit every cell once; the rest fall anywhere.
    const int a = i < 2000 ? static_cast<int>(i / 50) + 1 : static_cast<int>(rng.next() % 40) + 1;
    const int b = i < 2000 ? static_cast<int>(i % 50) + 1 : static_cast<int>(rng.next() % 50) + 1;
    const double y = 10.0 + 0.05 * a - 0.03 * b + 0.002 * a * b + rng.normal();
    std::fprintf(f, "%d,%d,%.3f\n", a, b, std::round(y * 1000.0) / 1000.0);
  }
  std::fclose(f);
  return 0;
}

int generateFactorial8(const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::perror(path);
    return 2;
  }
  Rng rng{20261210};
  std::fprintf(f, "f1,f2,f3,f4,f5,f6,f7,f8,y\n");
  for (int i = 0; i < 40; ++i) {
    double y = 10.0 + rng.normal();
    for (int k = 0; k < 8; ++k) {
      const int level = static_cast<int>(rng.next() % 2) + 1;
      y += 0.5 * (k + 1) * level;
      std::fprintf(f, "%d,", level);
    }
    std::fprintf(f, "%.3f\n", std::round(y * 1000.0) / 1000.0);
  }
  std::fclose(f);
  return 0;
}

int generateOneway(long levels, long n, const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f || levels < 1) {
    std::perror(path);
    return 2;
  }
  Rng rng{20261211};
  std::fprintf(f, "g,y\n");
  for (long i = 0; i < n; ++i) {
    const long g = i % levels + 1;
    const double y = 50.0 + 0.3 * static_cast<double>(g % 17) + 2.0 * rng.normal();
    std::fprintf(f, "%ld,%.3f\n", g, std::round(y * 1000.0) / 1000.0);
  }
  std::fclose(f);
  return 0;
}

int generateTwoway(long n, const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::perror(path);
    return 2;
  }
  Rng rng{20261212};
  std::fprintf(f, "a,b,y\n");
  for (long i = 0; i < n; ++i) {
    const int a = static_cast<int>(rng.next() % 200) + 1;
    const int b = static_cast<int>(rng.next() % 300) + 1;
    const double y = 10.0 + 0.01 * a - 0.02 * b + 0.0001 * a * b + rng.normal();
    std::fprintf(f, "%d,%d,%.3f\n", a, b, std::round(y * 1000.0) / 1000.0);
  }
  std::fclose(f);
  return 0;
}

// CPU seconds (user + system) of the process so far: on a shared machine the comparable figure.
double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto s = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec);
  };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

template <class F>
int timed(const char* mode, F&& body) {
  auto t0 = std::chrono::steady_clock::now();
  const double c0 = cpuSeconds();
  long cases = body();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (cases < 0) return 1;
  std::printf("mode=%s cases=%ld seconds=%.3f cpu_seconds=%.3f cases_per_second=%.0f peak_rss_mib=%.1f\n",
              mode, cases, secs, cpuSeconds() - c0, static_cast<double>(cases) / secs, peakRssMib());
  return 0;
}

// Times number conversion alone on the fields of the file's first 32 MiB (header skipped).
int numbers(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    std::perror(path);
    return 2;
  }
  std::string text(size_t{32} << 20, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  std::vector<std::string_view> fields;
  size_t at = text.find('\n') + 1;
  for (size_t i = at; i < text.size(); ++i)
    if (text[i] == ',' || text[i] == '\n') {
      fields.emplace_back(text.data() + at, i - at);
      at = i + 1;
    }
  auto perField = [&](auto&& convert) {
    double best = 1e300, sum = 0.0;
    for (int round = 0; round < 3; ++round) {
      const double c0 = cpuSeconds();
      for (std::string_view t : fields) sum += convert(t);
      best = std::min(best, cpuSeconds() - c0);
    }
    if (sum == 0.123) std::printf("!");
    return 1e9 * best / static_cast<double>(fields.size());
  };
  const double ours = perField([](std::string_view t) { return qv::csv::parseNumber(t, 7).value; });
  const double standard = perField([](std::string_view t) {
    double v = 0.0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
  });
  std::printf("mode=numbers fields=%zu parse_ns_per_field=%.1f from_chars_ns_per_field=%.1f", fields.size(),
              ours, standard);
#ifdef QV_BENCH_FAST_FLOAT
  // The fast_float library (value only; no decimals, digits or remainder), where installed.
  const double library = perField([](std::string_view t) {
    double v = 0.0;
    fast_float::from_chars(t.data(), t.data() + t.size(), v);
    return v;
  });
  std::printf(" fast_float_ns_per_field=%.1f", library);
#endif
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: qvbench generate N FILE | read FILE [THREADS] | analyse FILE [THREADS] | scan FILE | "
        "numbers FILE\n");
    return 2;
  }
  std::string mode = argv[1];
  if (mode == "generate" && argc == 4) return generate(std::atol(argv[2]), argv[3]);
  if (mode == "generate-wide" && argc == 4) return generateWide(std::atol(argv[2]), argv[3]);
  if (mode == "generate-factorial8" && argc == 3) return generateFactorial8(argv[2]);
  if (mode == "generate-oneway" && argc == 5)
    return generateOneway(std::atol(argv[2]), std::atol(argv[3]), argv[4]);
  if (mode == "generate-twoway" && argc == 4) return generateTwoway(std::atol(argv[2]), argv[3]);
  if (mode == "large" && argc == 4) {
    const std::string design = argv[2];
    std::string command;
    if (design == "factorial8")
      command = "QUORVEST y BY f1 f2 f3 f4 f5 f6 f7 f8";
    else if (design == "oneway")
      command = "QUORVEST y BY g /PRINT=DESCRIPTIVE PARAMETER ETASQ HOMOGENEITY";
    else if (design == "comparisons")
      command = "QUORVEST y BY g /PRINT=PARAMETER /EMMEANS=TABLES(g) COMPARE(g) /POSTHOC=g(SCHEFFE SNK)";
    else if (design == "twoway")
      command = "QUORVEST y BY a b /METHOD=SSTYPE(3)";
    else if (design == "wide")
      command = "QUORVEST y BY a b /METHOD=SSTYPE(3) /PRINT=PARAMETER";
    else {
      std::fprintf(stderr, "unknown design %s\n", design.c_str());
      return 2;
    }
    qv::DataOptions o;
    o.dataPath = argv[3];
    const double cpu0 = cpuSeconds();
    return timed(("large-" + design).c_str(), [&]() -> long {
      qv::InputError err;
      auto data = qv::DataSource::open(o, err);
      if (!data) {
        std::fprintf(stderr, "%s\n", err.describe().c_str());
        return -1;
      }
      qv::out::Document doc;
      doc.commands.emplace_back();
      qv::Context ctx;
      ctx.data = data.get();
      ctx.output = &doc.commands.back();
      qv::QVTCTL(ctx, command);
      if (ctx.errorFlag) {
        std::fprintf(stderr, "analysis failed\n");
        return -1;
      }
      const size_t bytes = qv::out::renderText(doc).size();
      std::printf("cpu_seconds=%.3f text_kib=%.1f\n", cpuSeconds() - cpu0,
                  static_cast<double>(bytes) / 1024.0);
      for (auto& item : doc.commands.back().items)
        if (auto* t = std::get_if<qv::out::Table>(&item))
          for (auto& c : t->cells)
            if (c.path.size() == 3 && c.path[1].back() == "Total" && c.path[2].back() == "df")
              return static_cast<long>(c.value.number);
      return 0L;
    });
  }

  if (mode == "numbers" && argc == 3) return numbers(argv[2]);
  if (mode == "scan" && argc == 3) {
    return timed("scan", [&]() -> long {
      try {
        qv::csv::Scanner sc(std::make_unique<qv::csv::FileSource>(argv[2]));
        long records = 0, fields = 0;
        while (sc.next()) {
          ++records;
          fields += static_cast<long>(sc.fieldCount());
        }
        std::printf("fields=%ld\n", fields);
        return records - 1;  // the header is no case
      } catch (const qv::csv::ScanError& e) {
        std::fprintf(stderr, "%s:%ld:%ld: %s\n", argv[2], e.line, e.column, e.text.c_str());
        return -1;
      }
    });
  }
  qv::DataOptions opts;
  opts.dataPath = argv[2];
  if (argc > 3) opts.threads = std::atoi(argv[3]);  // default: the cores available
  if (mode == "read") {
    return timed("read", [&]() -> long {
      qv::InputError err;
      auto data = qv::DataSource::open(opts, err);
      if (!data) {
        std::fprintf(stderr, "%s\n", err.describe().c_str());
        return -1;
      }
      auto rd = data->read();
      long n = 0;
      double sum = 0.0;
      do {
        while (rd->next()) {
          for (int v = 0; v < 5; ++v) sum += rd->number(v);
          ++n;
        }
      } while (rd->nextGroup());
      if (sum == 0.123) std::printf("!");
      return n;
    });
  }
  if (mode == "analyse") {
    return timed("analyse", [&]() -> long {
      qv::InputError err;
      auto data = qv::DataSource::open(opts, err);
      if (!data) {
        std::fprintf(stderr, "%s\n", err.describe().c_str());
        return -1;
      }
      qv::out::CommandOutput out;
      qv::Context ctx;
      ctx.data = data.get();
      ctx.output = &out;
      ctx.threads = qv::passThreads(opts.threads);
      qv::QVTCTL(ctx, "QUORVEST y BY a b c WITH x /METHOD=SSTYPE(3)");
      if (ctx.errorFlag) {
        std::fprintf(stderr, "analysis failed\n");
        return -1;
      }
      // Cases analysed: the df of the Total row of the between-subjects table.
      for (auto& item : out.items)
        if (auto* t = std::get_if<qv::out::Table>(&item))
          for (auto& c : t->cells)
            if (c.path.size() == 3 && c.path[1].back() == "Total" && c.path[2].back() == "df")
              return static_cast<long>(c.value.number);
      return 0L;
    });
  }
  if (mode == "emmeans") {
    return timed("emmeans", [&]() -> long {
      qv::InputError err;
      auto data = qv::DataSource::open(opts, err);
      if (!data) {
        std::fprintf(stderr, "%s\n", err.describe().c_str());
        return -1;
      }
      qv::out::Document doc;
      doc.commands.emplace_back();
      qv::Context ctx;
      ctx.data = data.get();
      ctx.output = &doc.commands.back();
      auto t0 = std::chrono::steady_clock::now();
      qv::QVTCTL(ctx, "QUORVEST y BY a b /EMMEANS=TABLES(a*b) COMPARE(b) ADJ(SIDAK)");
      if (ctx.errorFlag) {
        std::fprintf(stderr, "analysis failed\n");
        return -1;
      }
      auto t1 = std::chrono::steady_clock::now();
      const size_t bytes = qv::out::renderJson(doc).size();
      auto t2 = std::chrono::steady_clock::now();
      std::printf("analysis_seconds=%.3f json_seconds=%.3f json_mib=%.1f\n",
                  std::chrono::duration<double>(t1 - t0).count(),
                  std::chrono::duration<double>(t2 - t1).count(),
                  static_cast<double>(bytes) / (1024.0 * 1024.0));
      for (auto& item : doc.commands.back().items)
        if (auto* t = std::get_if<qv::out::Table>(&item))
          for (auto& c : t->cells)
            if (c.path.size() == 3 && c.path[1].back() == "Total" && c.path[2].back() == "df")
              return static_cast<long>(c.value.number);
      return 0L;
    });
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
