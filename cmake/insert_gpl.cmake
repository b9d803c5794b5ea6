# Script mode: TEMPLATE with the line "@GPL_TEXT@" replaced by the text of
# GPL, written to OUTPUT with CR LF line ends.
file(READ "${TEMPLATE}" text)
file(READ "${GPL}" gpl)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\r\n" "\n" gpl "${gpl}")
string(REGEX REPLACE "\n+$" "" gpl "${gpl}")
string(REPLACE "@GPL_TEXT@" "${gpl}" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
