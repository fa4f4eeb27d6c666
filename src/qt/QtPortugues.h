// Qt's own texts (standard buttons, the folder chooser, context menus) in Brazilian Portuguese,
// whatever the user's locale: the program speaks only that language, so its boxes must not say
// "Yes"/"No" beside Portuguese questions. Call on the GUI thread once the QApplication exists.
#pragma once

class QCoreApplication;

namespace mirelo_qt {

// Installs Qt's pt_BR catalogue (Debian: qt6-translations-l10n) into `app` and makes pt_BR the
// default locale. False when the catalogue is not there; the program then runs with Qt's English.
bool UsaPortuguesDoBrasil(QCoreApplication& app);

}  // namespace mirelo_qt
