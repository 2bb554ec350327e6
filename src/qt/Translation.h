#pragma once
#include <QByteArray>
#include <QStringList>

namespace kestrova {

// The languages the program shows its texts in: its own (Japanese), or
// English from the catalogue.
enum class TextLanguage { Source, English };

// The language for a user who wants `uiLanguages`, most wanted first (as
// QLocale::system().uiLanguages() gives them), and whose locale for messages
// (LC_ALL, LC_MESSAGES or LANG, the first one set) is `messagesLocale`.
TextLanguage chooseTextLanguage(const QStringList& uiLanguages, const QByteArray& messagesLocale);

// The language this process's environment asks for.
TextLanguage userTextLanguage();

// Shows every text in `language` from now on: installs the catalogue's
// translator and gives the core its texts. Call it once the application
// object exists and before any text is made. Returns false, and shows the
// program's own texts, when the catalogue cannot be loaded.
bool useTextLanguage(TextLanguage language);

}  // namespace kestrova
