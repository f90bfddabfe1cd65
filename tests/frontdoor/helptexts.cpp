#include "helptexts.h"
#include <cstring>

const HelpLanguage HELP_LANGUAGES[6] = {
    {"en", 1033,
     L"Installation options\n"
     L"    /extract '<Directory>'\n"
     L"        Extracts the installation package to the specified directory\n"
     L"    /quiet\n"
     L"        Quiet mode, no user interaction\n"
     L"    /norestart\n"
     L"        Do not restart after the installation is complete\n"
     L"    /log '<LogFile>'\n"
     L"        Create a log"},
    {"de", 1031,
     L"Installationsoptionen\n"
     L"    /extract '<Verzeichnis>'\n"
     L"        Extrahiert das Installationspaket in das angegebene Verzeichnis\n"
     L"    /quiet\n"
     L"        Stiller Modus, keine Benutzerinteraktion\n"
     L"    /norestart\n"
     L"        Nach Abschluss der Installation keinen Neustart durchführen\n"
     L"    /log '<Protokolldatei>'\n"
     L"        Protokolldatei erstellen"},
    {"es", 1034,
     L"Opciones de instalación\n"
     L"    /extract '<Directory>'\n"
     L"        Extrae el paquete de instalación en el directorio especificado\n"
     L"    /quiet\n"
     L"        Modo silencioso, sin interacción del usuario\n"
     L"    /norestart\n"
     L"        No reiniciar una vez completada la instalación\n"
     L"    /log '<LogFile>'\n"
     L"        Crear un registro"},
    {"fr", 1036,
     L"Options d'installation\n"
     L"    /extract '<Répertoire>'\n"
     L"        Extrait le package d'installation dans le répertoire spécifié\n"
     L"    /quiet\n"
     L"        Mode silencieux, aucune interaction avec l'utilisateur\n"
     L"    /norestart\n"
     L"        Ne pas redémarrer une fois l'installation terminée\n"
     L"    /log '<Fichier journal>'\n"
     L"        Créer un journal"},
    {"it", 1040,
     L"Opzioni di installazione\n"
     L"    /extract '<Directory>'\n"
     L"        Estrae il pacchetto di installazione nella directory specificata\n"
     L"    /quiet\n"
     L"        Modalità non interattiva, nessuna interazione con l'utente\n"
     L"    /norestart\n"
     L"        Non riavviare al termine dell'installazione\n"
     L"    /log '<File di registro>'\n"
     L"        Crea un file di registro"},
    {"ja", 1041,
     L"インストールオプション\n"
     L"    /extract '<Directory>'\n"
     L"        インストールパッケージを指定したディレクトリに展開します\n"
     L"    /quiet\n"
     L"        サイレントモード、ユーザー操作なし\n"
     L"    /norestart\n"
     L"        インストールの完了後に再起動しません\n"
     L"    /log '<LogFile>'\n"
     L"        ログを作成します"},
};

const HelpLanguage* FindHelpLanguage(const char* code)
{
    for (const HelpLanguage& language : HELP_LANGUAGES) {
        if (0 == strcmp(language.code, code)) return &language;
    }
    return nullptr;
}
