// A replay as the page's replay reads it (JSON), as an asciicast v2 file for asciinema and other
// players, and as plain text with each change and key on its own lines with their times.
#ifndef RECORDINGFORMATS_H
#define RECORDINGFORMATS_H

#include "recordingreader.h"

#include <QByteArray>

namespace RecordingFormats {

QByteArray json(const Replay &replay);
// title names the controller in the player.
QByteArray asciicast(const Replay &replay, const QString &title);
QByteArray plainText(const Replay &replay, const QString &title);

} // namespace RecordingFormats

#endif // RECORDINGFORMATS_H
