<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>QObject</name>
    <message>
        <location filename="../main.cpp" line="44"/>
        <source>Tolvex DFU station</source>
        <translation>Tolvex-DFU-Station</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="83"/>
        <source>This station has no profile yet. The line engineer writes one (see &quot;tolvex-dfu station --help&quot; and the production-line guide) and saves it as %1, owned by root, or starts the screen with --profile FILE.</source>
        <translation>Diese Station hat noch kein Profil. Die Linienverantwortlichen schreiben eines (siehe „tolvex-dfu station --help“ und die Anleitung für die Fertigungslinie) und speichern es als %1, im Besitz von root, oder starten den Bildschirm mit --profile DATEI.</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="91"/>
        <source>Operator (type or scan):</source>
        <translation>Bediener (tippen oder scannen):</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="92"/>
        <source>Lot or work order (type or scan):</source>
        <translation>Los oder Auftrag (tippen oder scannen):</translation>
    </message>
</context>
<context>
    <name>StationTile</name>
    <message>
        <location filename="../StationTile.cpp" line="53"/>
        <source>Empty</source>
        <translation>Leer</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="54"/>
        <source>Waiting for a board</source>
        <translation>Wartet auf eine Platine</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="55"/>
        <source>Updating</source>
        <translation>Wird aktualisiert</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="56"/>
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="57"/>
        <source>Up to date</source>
        <translation>Aktuell</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="58"/>
        <source>Refused</source>
        <translation>Abgelehnt</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="59"/>
        <source>Failed</source>
        <translation>Fehlgeschlagen</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="60"/>
        <source>Pulled</source>
        <translation>Abgezogen</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="61"/>
        <source>Blocked</source>
        <translation>Blockiert</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="165"/>
        <source>Serial %1</source>
        <translation>Seriennr. %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="167"/>
        <source>Label %1 does not match</source>
        <translation>Etikett %1 passt nicht</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="167"/>
        <source>Label %1</source>
        <translation>Etikett %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="176"/>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <location filename="../StationWindow.cpp" line="26"/>
        <source>erasing</source>
        <translation>löschen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="28"/>
        <source>writing</source>
        <translation>schreiben</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="30"/>
        <source>verifying</source>
        <translation>prüfen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="32"/>
        <source>restarting</source>
        <translation>Neustart</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="34"/>
        <source>comparing</source>
        <translation>vergleichen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="35"/>
        <source>reading</source>
        <translation>lesen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="40"/>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="66"/>
        <source>Tolvex DFU station</source>
        <translation>Tolvex-DFU-Station</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="100"/>
        <source>Pause</source>
        <translation>Pause</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="102"/>
        <source>Resume</source>
        <translation>Weiter</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="135"/>
        <source>starting</source>
        <translation>beginnt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="135"/>
        <location filename="../StationWindow.cpp" line="145"/>
        <source>Leave it plugged in</source>
        <translation>Eingesteckt lassen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="144"/>
        <source>%1 %2 %</source>
        <translation>%1 %2 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="232"/>
        <source>not signed</source>
        <translation>nicht signiert</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="233"/>
        <source>Firmware %1 · release %2 · %3 · SHA-256 %4</source>
        <translation>Firmware %1 · Version %2 · %3 · SHA-256 %4</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="235"/>
        <source>not given</source>
        <translation>nicht angegeben</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="239"/>
        <source>Operator %1</source>
        <translation>Bediener %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="241"/>
        <source>Lot %1</source>
        <translation>Los %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="245"/>
        <source>The profile %1 is not locked: anyone who can write it changes this line</source>
        <translation>Das Profil %1 ist nicht gesperrt: Wer es schreiben kann, ändert diese Linie</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="256"/>
        <source>Done %1</source>
        <translation>Fertig %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="256"/>
        <source>Up to date %1</source>
        <translation>Aktuell %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="257"/>
        <source>Refused %1</source>
        <translation>Abgelehnt %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="257"/>
        <source>Failed %1</source>
        <translation>Fehlgeschlagen %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="258"/>
        <source>In progress %1</source>
        <translation>In Arbeit %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="261"/>
        <source>First-pass yield %1 %</source>
        <translation>Erstdurchlauf %1 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="263"/>
        <source>%1 boards an hour</source>
        <translation>%1 Platinen pro Stunde</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="265"/>
        <source>median %1 s a board</source>
        <translation>Median %1 s pro Platine</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="289"/>
        <source>Take it out: it is up to date</source>
        <translation>Herausnehmen: schon aktuell</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="289"/>
        <source>Take it out: done</source>
        <translation>Herausnehmen: fertig</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="292"/>
        <source>Scan the label again</source>
        <translation>Etikett erneut scannen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="294"/>
        <source>Scan its label, then plug it in again</source>
        <translation>Etikett scannen, dann neu einstecken</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Put it aside: its firmware is newer</source>
        <translation>Beiseitelegen: Firmware ist neuer</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Put it aside: wrong product</source>
        <translation>Beiseitelegen: falsches Produkt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="299"/>
        <source>Plug it in again to finish</source>
        <translation>Neu einstecken, um abzuschließen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="300"/>
        <source>Plug it in again</source>
        <translation>Neu einstecken</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="301"/>
        <source>Put the first board back to finish it</source>
        <translation>Erste Platine wieder einstecken und abschließen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="302"/>
        <source>Plug it in again; if it fails again, put it aside</source>
        <translation>Neu einstecken; schlägt es wieder fehl, beiseitelegen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="311"/>
        <source>Paused: the running boards finish; no new board is started</source>
        <translation>Pausiert: laufende Platinen werden fertig; keine neue beginnt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="339"/>
        <source>Closing: the running boards finish first</source>
        <translation>Wird beendet: laufende Platinen werden zuerst fertig</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="358"/>
        <source>Scanned %1: plug in its board</source>
        <translation>%1 gescannt: Platine einstecken</translation>
    </message>
</context>
</TS>
