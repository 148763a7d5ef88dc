#include "qt/environment.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace rv {
namespace {

// Sets variables for one test and puts the old values back afterwards (the
// application has read them already; later tests must see the originals).
class TEnvironment {
 public:
  void Set(const char* name, std::optional<std::string> value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  static std::optional<std::string> Get(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  }
  ~TEnvironment() {
    for (auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(PrepareApplicationEnvironment, TurnsOffResolutionScalingUnlessTheUserChose) {
  struct Case {
    std::optional<std::string> before, after;
  } cases[] = {{std::nullopt, "0"}, {"1", "1"}, {"0", "0"}};
  for (const Case& c : cases) {
    TEnvironment env;
    env.Set("QT_ENABLE_HIGHDPI_SCALING", c.before);
    env.Set("WAYLAND_DISPLAY", std::nullopt);
    qt::PrepareApplicationEnvironment();
    EXPECT_EQ(TEnvironment::Get("QT_ENABLE_HIGHDPI_SCALING"), c.after);
  }
}

TEST(PrepareApplicationEnvironment, WaylandSessionsUseXWaylandWhenItIsThere) {
  struct Case {
    const char* name;
    std::optional<std::string> wayland, display, platform, expected;
  } cases[] = {
      {"remote X server", "wayland-0", "otherhost:0", std::nullopt, "xcb"},
      {"the user's choice stays", "wayland-0", "otherhost:0", "wayland", "wayland"},
      {"no X server named", "wayland-0", std::nullopt, std::nullopt, std::nullopt},
      {"local X server without a socket", "wayland-0", ":48213", std::nullopt, std::nullopt},
      {"not a Wayland session", std::nullopt, "otherhost:0", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TEnvironment env;
    env.Set("WAYLAND_DISPLAY", c.wayland);
    env.Set("DISPLAY", c.display);
    env.Set("QT_QPA_PLATFORM", c.platform);
    qt::PrepareApplicationEnvironment();
    EXPECT_EQ(TEnvironment::Get("QT_QPA_PLATFORM"), c.expected);
  }
}

// A screen of 192 dpi makes Qt scale by 2 by default; prepared, the program
// puts each picture pixel on one device pixel. Each run is a process of its
// own: Qt reads the environment once.
TEST(PrepareApplicationEnvironment, HighResolutionScreenShowsThePictureOneToOne) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString config = dir.filePath("screen.json");
  {
    QFile f(config);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"screens":[{"name":"hidpi","x":0,"y":0,"width":1600,"height":1200,)"
            R"("logicalDpi":192,"logicalBaseDpi":96,"dpr":1}]})");
  }
  struct Case {
    const char* name;
    QStringList args;
    const char* userScaling;  // QT_ENABLE_HIGHDPI_SCALING as the user left it, or null
    QString expected;
  } cases[] = {
      {"Qt's default scales", {}, nullptr, "dpr=2 device=600x400 grab=600x400 exact=0"},
      {"prepared: one to one", {"--prepare"}, nullptr, "dpr=1 device=300x200 grab=300x200 exact=1"},
      {"the user asked for scaling", {"--prepare"}, "1", "dpr=2 device=600x400 grab=600x400 exact=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + config);
    for (const char* v : {"QT_ENABLE_HIGHDPI_SCALING", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                          "QT_USE_PHYSICAL_DPI", "QT_FONT_DPI"})
      env.remove(v);
    if (c.userScaling) env.insert("QT_ENABLE_HIGHDPI_SCALING", c.userScaling);
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(REVIMORA_HIDPI_PROBE), c.args);
    ASSERT_TRUE(probe.waitForFinished(30000));
    ASSERT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), c.expected);
  }
}

}  // namespace
}  // namespace rv
