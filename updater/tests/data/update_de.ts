<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A small catalogue for the start-up test: proves that update loads translations/update_<locale>
     from its program folder. -->
<TS version="2.1" language="de_DE">
<context>
    <name>Configuration</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
</context>
</TS>
