#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace kelm {

// The tool's settings file, $XDG_CONFIG_HOME/kelm/kelm.conf (~/.config/kelm/kelm.conf by
// default), shared by every program of the project. The path is looked up on each call, so a
// changed XDG_CONFIG_HOME counts from then on.
QString settingsFilePath();

// The settings file for reading and writing; null for one that cannot be read or holds
// nonsense, which is reported once on stderr and then left alone (never written over).
std::unique_ptr<QSettings> openSettings();

// The device the settings file maps COM n to ([Ports] ComN=/dev/...), or empty.
QString mappedComDevice(int n);

} // namespace kelm
