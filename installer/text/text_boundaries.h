#pragma once

// Where characters, words, lines and sentences of a text begin and end, as
// positions in its UTF-16 code units. Line ends are a line feed, a carriage
// return or the pair of both; a surrogate pair and a carriage return with its
// line feed count as one character. Words and sentences are looked for only
// near the position (within its line and a reach either side), so that no
// answer costs more on a text of megabytes than on a short one.

#include <QStringView>
#include <utility>

namespace sonarell::installer {

using TextRange = std::pair<qsizetype, qsizetype>;

inline bool isLineEnd(QChar c) { return c == u'\n' || c == u'\r'; }

// The position clamped to the text, moved back to the start of a surrogate pair it splits.
qsizetype clampPosition(QStringView text, qsizetype position);
// Where the character after a position ends, and where the one before it starts.
qsizetype nextCharacter(QStringView text, qsizetype position);
qsizetype previousCharacter(QStringView text, qsizetype position);

// The word, or run of spaces or punctuation, around a position; at a line's
// end, the line's last word; inside an empty line, nothing at the position.
TextRange wordAt(QStringView text, qsizetype position);
// The line around a position, ending after its line end.
TextRange lineAt(QStringView text, qsizetype position);
// The sentence around a position, within its line.
TextRange sentenceAt(QStringView text, qsizetype position);

// Where moving by a word from a position lands: forward at the end of the
// next word, backward at the start of the word before, spaces skipped.
qsizetype nextWordEnd(QStringView text, qsizetype position);
qsizetype previousWordStart(QStringView text, qsizetype position);

}  // namespace sonarell::installer
