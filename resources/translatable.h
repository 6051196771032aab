#pragma once
// Marks a text that the window shows through Qt's translation system. The text itself stays the Chinese
// source (what velkor-cli prints, byte for byte); lupdate collects it under `context` (the build passes
// this name as an alias of QT_TRANSLATE_NOOP), and the window looks it up with
// QCoreApplication::translate(context, text). No toolkit needed here.
#define VELKOR_TR_NOOP(context, text) text
