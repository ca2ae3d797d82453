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
        <location filename="../StationTile.cpp" line="57"/>
        <source>Empty</source>
        <translation>Leer</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="58"/>
        <source>Waiting for a board</source>
        <translation>Wartet auf eine Platine</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="59"/>
        <source>Updating</source>
        <translation>Wird aktualisiert</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="60"/>
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="61"/>
        <source>Up to date</source>
        <translation>Aktuell</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="62"/>
        <source>Refused</source>
        <translation>Abgelehnt</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="63"/>
        <source>Failed</source>
        <translation>Fehlgeschlagen</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="64"/>
        <source>Pulled</source>
        <translation>Abgezogen</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="65"/>
        <source>Blocked</source>
        <translation>Blockiert</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="169"/>
        <source>Serial %1</source>
        <translation>Seriennr. %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1 does not match</source>
        <translation>Etikett %1 passt nicht</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1</source>
        <translation>Etikett %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="181"/>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <location filename="../StationWindow.cpp" line="29"/>
        <source>erasing</source>
        <translation>Löschen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="31"/>
        <source>writing</source>
        <translation>Schreiben</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="33"/>
        <source>verifying</source>
        <translation>Prüfen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="35"/>
        <source>restarting</source>
        <translation>Neustart</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="37"/>
        <source>comparing</source>
        <translation>Vergleichen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="38"/>
        <source>reading</source>
        <translation>Lesen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="43"/>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="75"/>
        <source>Tolvex DFU station</source>
        <translation>Tolvex-DFU-Station</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="111"/>
        <source>Pause</source>
        <translation>Pause</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="113"/>
        <source>Resume</source>
        <translation>Weiter</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="125"/>
        <location filename="../StationWindow.cpp" line="388"/>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>End lot</source>
        <translation>Los beenden</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <source>starting</source>
        <translation>beginnt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <location filename="../StationWindow.cpp" line="184"/>
        <source>Leave it plugged in</source>
        <translation>Eingesteckt lassen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="183"/>
        <source>%1 %2 %</source>
        <translation>%1 %2 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="222"/>
        <source>Press Resume to update it</source>
        <translation>Weiter drücken, um sie zu aktualisieren</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="272"/>
        <source>not signed</source>
        <translation>nicht signiert</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="274"/>
        <source>Firmware %1 · release %2 · %3 · SHA-256 %4</source>
        <translation>Firmware %1 · Version %2 · %3 · SHA-256 %4</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="276"/>
        <source>not given</source>
        <translation>nicht angegeben</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="279"/>
        <source>Operator %1</source>
        <translation>Bediener %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="281"/>
        <source>Lot %1</source>
        <translation>Los %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="285"/>
        <source>The profile %1 is not locked: anyone who can write it changes this line</source>
        <translation>Das Profil %1 ist nicht gesperrt: Wer es schreiben kann, ändert diese Linie</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Done %1</source>
        <translation>Fertig %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Up to date %1</source>
        <translation>Aktuell %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Refused %1</source>
        <translation>Abgelehnt %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Failed %1</source>
        <translation>Fehlgeschlagen %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="298"/>
        <source>In progress %1</source>
        <translation>In Arbeit %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="301"/>
        <source>First-pass yield %1 %</source>
        <translation>Erstdurchlauf %1 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="303"/>
        <source>%1 boards an hour</source>
        <translation>%1 Platinen pro Stunde</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="305"/>
        <location filename="../StationWindow.cpp" line="358"/>
        <source>median %1 s a board</source>
        <translation>Median %1 s pro Platine</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: it is up to date</source>
        <translation>Herausnehmen: schon aktuell</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: done</source>
        <translation>Herausnehmen: fertig</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="332"/>
        <source>Scan the label again</source>
        <translation>Etikett erneut scannen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="334"/>
        <source>Scan its label, then plug it in again</source>
        <translation>Etikett scannen, dann neu einstecken</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="336"/>
        <source>Put it aside: its firmware is newer</source>
        <translation>Beiseitelegen: Firmware ist neuer</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="337"/>
        <source>Put it aside: wrong product</source>
        <translation>Beiseitelegen: falsches Produkt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="339"/>
        <source>Plug it in again to finish</source>
        <translation>Neu einstecken, um abzuschließen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="340"/>
        <source>Plug it in again</source>
        <translation>Neu einstecken</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="341"/>
        <source>Put the first board back to finish it</source>
        <translation>Erste Platine wieder einstecken und abschließen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="342"/>
        <source>Plug it in again; if it fails again, put it aside</source>
        <translation>Neu einstecken; schlägt es wieder fehl, beiseitelegen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="349"/>
        <source>Lot %1: done %2, up to date %3, refused %4, failed %5</source>
        <translation>Los %1: fertig %2, aktuell %3, abgelehnt %4, fehlgeschlagen %5</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="356"/>
        <source>First-pass yield %1 % of %2 boards</source>
        <translation>Erstdurchlauf %1 % von %2 Platinen</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="371"/>
        <source>Ending lot %1: the running boards finish first</source>
        <translation>Los %1 wird beendet: laufende Platinen werden zuerst fertig</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>Next lot or work order (type or scan):</source>
        <translation>Nächstes Los oder nächster Auftrag (tippen oder scannen):</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="401"/>
        <source>Paused: the running boards finish; no new board is started</source>
        <translation>Pausiert: laufende Platinen werden fertig; keine neue beginnt</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="429"/>
        <source>Closing: the running boards finish first</source>
        <translation>Wird beendet: laufende Platinen werden zuerst fertig</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="448"/>
        <source>Scanned %1: plug in its board</source>
        <translation>%1 gescannt: Platine einstecken</translation>
    </message>
</context>
</TS>
