#pragma once
// orvane-snap's table of pictures. Each entry prepares one window (loads it,
// shows it offscreen, brings it into the state to show) and returns the
// widget to grab, or nullptr with a reason. Entries are added from any
// tools/snap/*.cpp with a static Registrar; the tool renders them by name.

#include <QString>
#include <QWidget>
#include <functional>

namespace orv::snap {

using Setup = std::function<QWidget*(QString* whyNot)>;

void add(const QString& name, Setup setup);

struct Registrar {
    Registrar(const char* name, Setup setup) { add(QString::fromUtf8(name), std::move(setup)); }
};

// Loads a registered window kind and shows it (modeless, offscreen) with the
// initial focus given as a real Show would; nullptr when it cannot load.
QWidget* showWindow(const QString& kind, QString* whyNot);

// Runs the event loop for a moment, so that focus and paint events land.
void settle(int milliseconds = 60);

}  // namespace orv::snap
