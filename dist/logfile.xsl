<?xml version="1.0" encoding="ISO-8859-1"?>
<!-- Renders the carousel run report as an HTML page: the title, the date and one line
     per report entry, styled by its category. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="ISO-8859-1" indent="yes"/>

  <xsl:template match="/project/Corvane">
    <html>
      <head>
        <title><xsl:value-of select="title"/></title>
        <style type="text/css">
          body { font-family: sans-serif; font-size: 10pt; }
          h1 { font-size: 14pt; }
          .date { color: #555555; margin-bottom: 1em; }
          .HEADER { font-weight: bold; font-size: 11pt; margin-top: 0.8em; }
          .INFO { color: #000000; }
          .WARNING { color: #B36B00; font-weight: bold; }
          .ERROR { color: #C00000; font-weight: bold; }
          .ATTENTION1 { color: #0000C0; }
          .ATTENTION2 { color: #0000C0; font-weight: bold; }
          .ATTENTION3 { color: #FFFFFF; background-color: #C00000; font-weight: bold; }
          .NORMAL { }
          .NORMAL_B { font-weight: bold; }
          .NORMAL_I { font-style: italic; }
          .NORMAL_IB { font-weight: bold; font-style: italic; }
        </style>
      </head>
      <body>
        <h1><xsl:value-of select="title"/></h1>
        <div class="date"><xsl:value-of select="date"/></div>
        <xsl:for-each select="message_logger/log">
          <div class="{@category}"><xsl:value-of select="."/></div>
        </xsl:for-each>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
