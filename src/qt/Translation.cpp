#include "qt/Translation.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <memory>

#include "text/UiTexts.h"

namespace kestrova {

namespace {

// The core's texts from the translators installed in the application.
class QtTextCatalogue : public TextCatalogue {
public:
    std::string lookUp(const SourceText& source) const override {
        return QCoreApplication::translate(source.context, source.text).toStdString();
    }
};

QByteArray firstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty()) return value;
    }
    return {};
}

}  // namespace

TextLanguage chooseTextLanguage(const QStringList& uiLanguages, const QByteArray& messagesLocale) {
    // As gettext has it, the C locale (under either name) means the
    // program's own texts, whatever LANGUAGE lists; C.UTF-8 does not.
    if (messagesLocale.isEmpty() || messagesLocale == "C" || messagesLocale == "POSIX") return TextLanguage::Source;
    // The first language we have a text for wins: Japanese is the program's
    // own, and "ja:en" means Japanese as surely as "fr:en" means English.
    for (const QString& tag : uiLanguages) {
        switch (QLocale(tag).language()) {
        case QLocale::English:
            return TextLanguage::English;
        case QLocale::Japanese:
            return TextLanguage::Source;
        default:
            break;
        }
    }
    return TextLanguage::Source;
}

TextLanguage userTextLanguage() {
    return chooseTextLanguage(QLocale::system().uiLanguages(), firstSet({"LC_ALL", "LC_MESSAGES", "LANG"}));
}

bool useTextLanguage(TextLanguage language) {
    static std::unique_ptr<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    bool loaded = true;
    if (language == TextLanguage::English) {
        auto translator = std::make_unique<QTranslator>();
        loaded = translator->load(QStringLiteral(":/i18n/kestrova_en.qm"));
        if (loaded && QCoreApplication::installTranslator(translator.get())) installed = std::move(translator);
    }
    if (installed) {
        const QtTextCatalogue catalogue;
        useTextCatalogue(&catalogue);
    } else {
        useTextCatalogue(nullptr);
    }
    return loaded && (language == TextLanguage::Source || installed);
}

}  // namespace kestrova
