#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

// Release notes are written for a browser; a terminal needs them as plain
// text. This reduces an HTML page to what a reader needs: the text of the
// body with paragraphs and headings set apart by blank lines, line breaks,
// list items on lines of their own ("• " or "1. ", indented by nesting),
// and each link's target in parentheses after its text. Scripts, styles and
// the title are dropped, character references decoded, runs of white space
// collapsed (kept inside <pre>), and control characters removed, so that
// nothing from the page can steer the terminal.
//
// The input is anything a server sends: unclosed tags, stray "<" and "&",
// unterminated quotes and comments are read as a browser would read them,
// or as text; the time taken grows linearly with the input and nothing
// recurses.
namespace NVHTMLText {

// The text of html; links relative to baseURL are shown resolved. Any thread.
QString plainTextFromHTML(QStringView html, const QUrl &baseURL = QUrl());

// text without what could steer a terminal or disguise text: control
// characters other than line feed and tab, DEL, C1 controls, byte-order
// marks and bidirectional overrides. Any thread.
QString printableText(QStringView text);

} // namespace NVHTMLText
