<?xml version="1.0" encoding="UTF-8"?>
<!--
  The order form (Basket.ConvertToXML) as a printable HTML page: header data,
  invoice and delivery address, lines, totals and the tax specification, with
  the labels the document carries. The page needs nothing from outside (the
  style sheet is inline, there are no images or scripts).

  Tax is shown when the document carries it: a tax specification, or tax
  amounts other than the "0" that a hidden tax leaves. The text "0" that
  follows TAXTOTAL when tax is hidden is not shown.
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:variable name="header" select="/Order/OrderHeader"/>
  <xsl:variable name="taxShown"
      select="boolean($header/TAXSPECIFIC)
              or (string($header/FREIGHTTAXTOTAL) != '0' and string($header/FREIGHTTAXTOTAL) != '')
              or boolean(/Order/OrderLines/OrderLine[string(TAXAMOUNT) != '0' and string(TAXAMOUNT) != ''])"/>

  <xsl:template match="/">
    <xsl:text disable-output-escaping="yes">&lt;!DOCTYPE html&gt;&#10;</xsl:text>
    <html>
      <head>
        <meta name="viewport" content="width=device-width, initial-scale=1"/>
        <title>
          <xsl:value-of select="/Order/WebOrderTitle"/>
          <xsl:if test="string($header/BASKETNAME) != ''">
            <xsl:text> - </xsl:text>
            <xsl:value-of select="$header/BASKETNAME"/>
          </xsl:if>
        </title>
        <style>
          body { font-family: Helvetica, Arial, sans-serif; font-size: 10pt; color: #111; margin: 2em; }
          h1 { font-size: 16pt; margin: 0 0 0.2em 0; }
          h2 { font-size: 11pt; margin: 1.5em 0 0.4em 0; border-bottom: 1px solid #999; }
          p.subtitle { margin: 0 0 1.2em 0; color: #444; }
          table { border-collapse: collapse; }
          th, td { padding: 0.25em 0.6em; vertical-align: top; text-align: left; }
          table.lines { width: 100%; }
          table.lines th { border-bottom: 1px solid #333; }
          table.lines td { border-bottom: 1px solid #ddd; }
          td.number, th.number { text-align: right; white-space: nowrap; }
          table.facts th { font-weight: normal; color: #444; }
          .addresses { display: flex; gap: 3em; }
          .address p { margin: 0; }
          table.totals { margin-left: auto; }
          table.totals tr.total td, table.totals tr.total th { border-top: 1px solid #333; font-weight: bold; }
          .remark { white-space: pre-wrap; }
          @media print { body { margin: 0; } }
        </style>
      </head>
      <body>
        <h1><xsl:value-of select="/Order/WebOrderTitle"/></h1>
        <p class="subtitle"><xsl:value-of select="/Order/WebOrderSubTitle"/></p>

        <table class="facts">
          <!-- one at a time: a union would come in document order -->
          <xsl:apply-templates mode="fact" select="$header/CUSTOMERNAME"/>
          <xsl:apply-templates mode="fact" select="$header/BASKETNAME"/>
          <xsl:apply-templates mode="fact" select="$header/BASKETDATE"/>
          <xsl:apply-templates mode="fact" select="$header/CUSTOMERPONUMBER"/>
          <xsl:apply-templates mode="fact" select="$header/CURRENCYCODE"/>
          <xsl:apply-templates mode="fact" select="$header/CARRIERCODE"/>
          <xsl:apply-templates mode="fact" select="$header/BASKETTEXT"/>
        </table>

        <div class="addresses">
          <xsl:apply-templates mode="address" select="$header/BILLINGADDRESSID">
            <xsl:with-param name="type" select="'BILLING'"/>
          </xsl:apply-templates>
          <xsl:apply-templates mode="address" select="$header/SHIPPINGADDRESSID">
            <xsl:with-param name="type" select="'SHIPPING'"/>
          </xsl:apply-templates>
        </div>

        <h2><xsl:value-of select="/Order/ProductsLabel"/></h2>
        <table class="lines">
          <thead>
            <tr>
              <th><xsl:value-of select="/Order/ItemLabel"/></th>
              <th><xsl:value-of select="/Order/DescriptionLabel"/></th>
              <th class="number"><xsl:value-of select="/Order/QtyLabel"/></th>
              <th><xsl:value-of select="/Order/UnitLabel"/></th>
              <th><xsl:value-of select="/Order/ReqDateLabel"/></th>
              <th class="number"><xsl:value-of select="/Order/UnitPriceLabel"/></th>
              <th class="number"><xsl:value-of select="/Order/DiscountLabel"/></th>
              <th class="number"><xsl:value-of select="/Order/NetAmountLabel"/></th>
              <xsl:if test="$taxShown">
                <th><xsl:value-of select="/Order/TaxCodeLabel"/></th>
              </xsl:if>
              <th class="number"><xsl:value-of select="/Order/FreightCostsLabel"/></th>
              <th><xsl:value-of select="/Order/AddressLabel"/></th>
            </tr>
          </thead>
          <tbody>
            <xsl:apply-templates select="/Order/OrderLines/OrderLine"/>
          </tbody>
        </table>

        <table class="totals">
          <xsl:apply-templates mode="total" select="$header/TOTALNETAMOUNT"/>
          <xsl:apply-templates mode="total" select="$header/DISCOUNTTOTAL"/>
          <xsl:apply-templates mode="total" select="$header/SUBTOTAL"/>
          <xsl:apply-templates mode="total" select="$header/FREIGHTTOTAL"/>
          <xsl:if test="$taxShown">
            <xsl:apply-templates mode="total" select="$header/FREIGHTTAXTOTAL"/>
            <tr>
              <th><xsl:value-of select="/Order/TaxCodeLabel"/></th>
              <td class="number"><xsl:value-of select="$header/TAXTOTAL"/></td>
            </tr>
          </xsl:if>
          <tr class="total">
            <th><xsl:value-of select="$header/TOTAL/@label"/></th>
            <td class="number">
              <xsl:value-of select="$header/TOTAL"/>
              <xsl:if test="string($header/CURRENCYCODE) != ''">
                <xsl:text> </xsl:text>
                <xsl:value-of select="$header/CURRENCYCODE"/>
              </xsl:if>
            </td>
          </tr>
        </table>

        <xsl:if test="$taxShown and $header/TAXSPECIFIC/TAX">
          <h2><xsl:value-of select="/Order/TaxCodeLabel"/></h2>
          <table class="tax">
            <xsl:for-each select="$header/TAXSPECIFIC/TAX">
              <tr>
                <td><xsl:value-of select="TAXCODEDESCRIPTION"/></td>
                <td class="number">
                  <xsl:if test="TAXPERCENTAGE">
                    <xsl:value-of select="TAXPERCENTAGE"/>
                    <xsl:text> %</xsl:text>
                  </xsl:if>
                </td>
                <td class="number"><xsl:value-of select="TAXAMOUNT"/></td>
              </tr>
            </xsl:for-each>
          </table>
        </xsl:if>
      </body>
    </html>
  </xsl:template>

  <!-- A labeled header value; empty values are left out. -->
  <xsl:template match="*" mode="fact">
    <xsl:if test="normalize-space(.) != ''">
      <tr>
        <th><xsl:value-of select="@label"/></th>
        <td class="remark"><xsl:value-of select="."/></td>
      </tr>
    </xsl:if>
  </xsl:template>

  <xsl:template match="*" mode="total">
    <tr>
      <th><xsl:value-of select="@label"/></th>
      <td class="number"><xsl:value-of select="."/></td>
    </tr>
  </xsl:template>

  <!-- An address expanded inside its id element: <BILLINGNAME1 label='...'>...</BILLINGNAME1> ... -->
  <xsl:template match="*" mode="address">
    <xsl:param name="type"/>
    <xsl:variable name="part" select="*[starts-with(local-name(), $type)]"/>
    <div class="address">
      <h2><xsl:value-of select="$part[local-name() = concat($type, 'SHORTDESCRIPTION')]/@label"/></h2>
      <xsl:call-template name="address-lines">
        <xsl:with-param name="type" select="$type"/>
        <xsl:with-param name="part" select="$part"/>
      </xsl:call-template>
    </div>
  </xsl:template>

  <xsl:template name="address-lines">
    <xsl:param name="type"/>
    <xsl:param name="part"/>
    <xsl:for-each select="$part[local-name() = concat($type, 'NAME1') or local-name() = concat($type, 'NAME2')
                                or local-name() = concat($type, 'STREET1') or local-name() = concat($type, 'STREET2')]">
      <xsl:if test="normalize-space(.) != ''"><p><xsl:value-of select="."/></p></xsl:if>
    </xsl:for-each>
    <p>
      <xsl:value-of select="$part[local-name() = concat($type, 'ZIPCODE')]"/>
      <xsl:text> </xsl:text>
      <xsl:value-of select="$part[local-name() = concat($type, 'CITY1')]"/>
    </p>
    <p>
      <xsl:choose>
        <xsl:when test="normalize-space($part[local-name() = concat($type, 'COUNTRYNAME')]) != ''">
          <xsl:value-of select="$part[local-name() = concat($type, 'COUNTRYNAME')]"/>
        </xsl:when>
        <xsl:otherwise>
          <xsl:value-of select="$part[local-name() = concat($type, 'COUNTRYCODE')]"/>
        </xsl:otherwise>
      </xsl:choose>
    </p>
  </xsl:template>

  <xsl:template match="OrderLine">
    <tr>
      <td><xsl:value-of select="PARTNUMBER"/></td>
      <td class="remark"><xsl:value-of select="LINETEXT"/></td>
      <td class="number"><xsl:value-of select="QUANTITY"/></td>
      <td><xsl:value-of select="PRODUCTUNITCODE"/></td>
      <td><xsl:value-of select="REQUESTDATE"/></td>
      <td class="number"><xsl:value-of select="PRODUCTPRICE"/></td>
      <td class="number"><xsl:value-of select="LINEDISCOUNTAMOUNT"/></td>
      <td class="number"><xsl:value-of select="LINEAMOUNT"/></td>
      <xsl:if test="$taxShown">
        <td>
          <xsl:value-of select="TAXCODE"/>
          <xsl:if test="string(TAXAMOUNT) != ''">
            <xsl:text> </xsl:text>
            <xsl:value-of select="TAXAMOUNT"/>
          </xsl:if>
        </td>
      </xsl:if>
      <td class="number"><xsl:value-of select="FREIGHTAMOUNT"/></td>
      <td>
        <xsl:value-of select="SHIPPINGNAME1"/>
        <xsl:if test="string(SHIPPINGCITY1) != ''">
          <xsl:text>, </xsl:text>
          <xsl:value-of select="SHIPPINGCITY1"/>
        </xsl:if>
      </td>
    </tr>
  </xsl:template>
</xsl:stylesheet>
