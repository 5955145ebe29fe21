# Puts header-only tables into a program folder that has none yet.
if(NOT EXISTS "${DIR}/Users.txt")
  file(WRITE "${DIR}/Users.txt" "UserName,Password,MailID\n")
endif()
if(NOT EXISTS "${DIR}/DomainMX.txt")
  file(WRITE "${DIR}/DomainMX.txt" "Domain,MX,Priority\n")
endif()
