# The secret that the program shares with the guard client and the elevated settings
# writer: 45 ASCII characters, the same in every component of one deployment. A
# deployment sets its own with -DVX_AUTH_SECRET=...; this default serves the builds of
# this repository.
set(VX_AUTH_SECRET "HtnCrqPKn6miY4r1UbNN9YwqaE6jA4g0tc1qD77JUjCH4" CACHE STRING
    "45-character secret shared by velvox, KvrGrd.dll and the settings writer")
