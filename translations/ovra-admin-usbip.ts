<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>ShareAccessDialog</name>
    <message numerus="yes">
        <source>Shared devices can be attached by %n host(s).</source>
        <translation>
            <numerusform>Shared devices can be attached by %n host.</numerusform>
            <numerusform>Shared devices can be attached by %n hosts.</numerusform>
        </translation>
    </message>
</context>
</TS>
