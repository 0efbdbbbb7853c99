// The program's messages, in Windows-1250.
#pragma once

// "Uwaga!"
constexpr const char text_caption[] = "Uwaga!";
// "Aby pobrać aktualizację, musisz być połączony do sieci Internet."
constexpr const char text_no_connection[] =
    "Aby pobra\xe6 aktualizacj\xea, musisz by\xe6 po\xb3\xb9"
    "czony do sieci Internet.";
// "Są nowe aktualizacje, czy chcesz je pobrać?"
constexpr const char text_updates_available[] = "S\xb9 nowe aktualizacje, czy chcesz je pobra\xe6?";
// "Brak aktualizacji do pobrania."
constexpr const char text_no_updates[] = "Brak aktualizacji do pobrania.";
// "Wystąpiły problemy z pobraniem aktualizacji."
constexpr const char text_download_failed[] = "Wyst\xb9pi\xb3y problemy z pobraniem aktualizacji.";
// "Wystąpiły problemy z instalowaniem aktualizacji."
constexpr const char text_install_failed[] =
    "Wyst\xb9pi\xb3y problemy z instalowaniem aktualizacji.";
// "Aktualizacja została zainstalowana pomyślnie."
constexpr const char text_update_installed[] = "Aktualizacja zosta\xb3"
                                               "a zainstalowana pomy\x9clnie.";
