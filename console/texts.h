// Every text the operator reads on the console, in the French the operators
// know, byte for byte. Each begins with its line feeds rather than ending
// with them; only the gap after the welcome banner and the start and end
// banners end with one. Where a text holds a %, it is a printf format.
#pragma once

inline constexpr char WELCOME_BANNER[] =
    " ------------   BIENVENUE DANS LE SERVEUR ZOLT " ZOLT_VERSION "   ------------";
inline constexpr char BANNER_GAP[] = "\n\n\n";
inline constexpr char ADDRESS_LINE[] = "\nL'ADRESSE IP DU SERVEUR EST %s.";

// The dialogue.
inline constexpr char HUMANS_PROMPT[] = "\n\nTaper le nombre de joueurs humains : ";
inline constexpr char BOTS_PROMPT[] = "\nTaper le nombre de joueurs CPU : ";
inline constexpr char MAP_LIST[] =
    "\n\n*******Maps Disponibles********"
    "\n  map 0 : Torvallind level 0 "
    "\n  map 1 : Vevoder            "
    "\n  map 2 : Zovezivadi Zavo    "
    "\n  map 3 : Ved Oravo vo dizav "
    "\n  map 4 : Rovudazizado       "
    "\n*******************************";
// The maps of the list by number, as the live view and the recording name them.
inline constexpr const char* MAP_NAMES[] = {"Torvallind level 0", "Vevoder", "Zovezivadi Zavo",
                                            "Ved Oravo vo dizav", "Rovudazizado"};
// The name the list gives map, "" for a number it does not list.
inline const char* map_name(long map) {
  return map >= 0 && map < static_cast<long>(sizeof MAP_NAMES / sizeof MAP_NAMES[0])
             ? MAP_NAMES[map]
             : "";
}
inline constexpr char MAP_PROMPT[] = "\n\nTaper le numero de la map : ";
inline constexpr char NOT_AN_INTEGER[] = "\n----- Erreur : tapez un nombre entier. -----";
inline constexpr char OUT_OF_RANGE[] = "\n----- Erreur : nombre hors limites. -----";
inline constexpr char NEGATIVE_COUNT[] =
    "\n----- Erreur : le nombre ne peut pas etre negatif. -----";
inline constexpr char TOO_MANY_PLAYERS[] = "\n----- Erreur : pas plus de %d joueurs en tout. -----";

// The data files.
inline constexpr char ROUTE_ERROR[] = "\n Erreur lors du chargement des bots !";
inline constexpr char START_FILE_LINE[] = "\n %s";  // the start position file's name

// The connection phase, once per human.
inline constexpr char WAITING[] = "\nAttente des joueurs...";
// The é of "création" is the single byte 0xE9 (octal 351).
inline constexpr char ACCEPT_ERROR[] = "\n----- Erreur de cr\351ation du socket. -----";
inline constexpr char CONNECTING[] = "\nEtablissement de la connection...";
inline constexpr char PEER_LINE[] = "\nIP du PC : %s";
inline constexpr char CONNECTED[] = "\nConnection etablie.";
inline constexpr char GREETING_ERROR[] = "\n----- Erreur d'etablissement de la connection. -----";
inline constexpr char ECHO_ERROR[] = "\n----- Erreur de reception du numero. -----";

inline constexpr char START_BANNER[] =
    "\n\n ------------     LA PARTIE EST COMMENCEE.     ------------\n";
inline constexpr char END_BANNER[] =
    "\n\n ------------     LA PARTIE EST TERMINEE.     ------------\n";
